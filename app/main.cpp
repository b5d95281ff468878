#include "app/frmMain.h"
#include "cmdline/commandline.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "run/runlog.h"

int main(int argc, char** argv) {
  // Help, the version and bad values are answered before any window (or
  // display) is needed.
  const cmdline::Parsed parsed = cmdline::parse(argc, argv);
  if (parsed.exitStatus) return *parsed.exitStatus;

  vb::Application application(argc, argv);
  // What the run does, and what goes wrong, is kept in the run log.
  run::installRunLog();
  // The capture drivers: cameras, then the built-in test pattern.
  gstcapture::installDrivers();
  frmMain form(parsed.options);
  const int code = application.Run(form);
  gstcapture::uninstallDrivers();
  return code;
}
