#include <gtest/gtest.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>

#include "platform/vb.h"
#include "run/runlog.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Settings, autostart entries and the run log go to folders of the test's own, never the user's.
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  QTemporaryDir state;
  qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
  run::installRunLog();
  testing::InitGoogleTest(&argc, argv);
  vb::Application application(argc, argv);
  return RUN_ALL_TESTS();
}
