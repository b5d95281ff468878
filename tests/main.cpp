#include <gtest/gtest.h>

#include <QByteArray>
#include <QtGlobal>

#include "platform/vb.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  vb::Application application(argc, argv);
  return RUN_ALL_TESTS();
}
