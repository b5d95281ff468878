#include <cstdlib>

#include "app/frmMain.h"
#include "cmdline/commandline.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "run/runlog.h"

int main(int argc, char** argv) {
  // A request to end is caught before anything that takes time (listing the
  // sources, for one), so it always ends the run as the session's end does.
  vb::Application::CatchTerminate();
  // Help, the version and bad values are answered before any window (or
  // display) is needed.
  const cmdline::Parsed parsed = cmdline::parse(argc, argv);
  if (parsed.exitStatus) return *parsed.exitStatus;

  // With no window the same window runs, never shown to anyone: drawn off
  // screen, its boxes going to the run log, so one behaviour serves both.
  if (parsed.options.noWindow) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  vb::Application application(argc, argv);
  // What the run does, and what goes wrong, is kept in the run log (with no
  // window, told on the standard error as well).
  run::installRunLog();
  if (parsed.options.noWindow) {
    run::unattendedBoxes();
    run::echoRunLog();
  }
  // The capture drivers: cameras, then the built-in test pattern.
  gstcapture::installDrivers();
  frmMain form(parsed.options);
  const int code = application.Run(form);
  gstcapture::uninstallDrivers();
  return code;
}
