#include "app/frmMain.h"
#include "platform/vb.h"

int main(int argc, char** argv) {
  vb::Application application(argc, argv);
  frmMain form;
  return application.Run(form);
}
