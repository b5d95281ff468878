#include "app/frmMain.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"

int main(int argc, char** argv) {
  vb::Application application(argc, argv);
  // The capture drivers: cameras, then the built-in test pattern.
  gstcapture::installDrivers();
  frmMain form;
  const int code = application.Run(form);
  gstcapture::uninstallDrivers();
  return code;
}
