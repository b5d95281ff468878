// The command line's bad values, given to the program itself with no display:
// one line on standard error, exit status 2, nothing started or written.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/fakes/TestSupport.h"

namespace {

TEST(CommandLine, RefusesBadValuesWithOneLineAndNothingWritten) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile plainFile(dir.filePath("plain"));
  ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
  const QString config = dir.filePath("config");
  // A good folder beside each bad value: it must not be made either.
  const QString frames = dir.filePath("frames");
  const QStringList cases[] = {
      {"--interval", "abc"},
      {"--interval", "0"},
      {"--interval", "40000"},
      {"--active-hours", "7-19"},
      {"--active-hours", "19:30-24:00"},
      {"--daylight", "91,0"},
      {"--daylight", "north"},
      {"--active-hours", "07:00-19:00", "--daylight", "52,13"},
      {"--source", "No such camera"},
      {"--folder", dir.filePath("plain/frames")},
      {"--send-to", "nosuch:cam"},
      {"--send-to", dir.filePath("plain/nas")},
      {"--keep-days", "0"},
      {"--start", "--no-such-option"},
      {"--control", "shutter=5"},
      {"--control", "gain=loud"},
      {"--list-controls"},
      {"stray"},
      {"--web", "abc"},
      {"--web", "70000"},
      {"--web", "0.0.0.0:8080"},  // other computers without a password
      {"--web", "8080", "--web-password-file", dir.filePath("missing")},
      {"--web-password-file", plainFile.fileName()},
      {"--web", "8080", "--web-cert", plainFile.fileName()},
      {"--web", "8080", "--web-cert", plainFile.fileName(), "--web-key", plainFile.fileName()},
      {"--interval", "5"},  // good values, but no display and no --no-window
  };
  const testsupport::ChildSanitizerLog sanitizer;
  for (const QStringList& args : cases) {
    SCOPED_TRACE(args.join(' ').toStdString());
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(display);
    env.insert("XDG_CONFIG_HOME", config);
    env.insert("RCLONE_CONFIG", dir.filePath("rclone.conf"));  // no remotes
    program.setProcessEnvironment(sanitizer.environment(env));
    program.start(FERROWICK_PROGRAM, QStringList{"--folder", frames} + args + QStringList{"--start"});
    ASSERT_TRUE(program.waitForFinished(30000));
    const std::string report = sanitizer.takeReport();
    EXPECT_TRUE(report.empty()) << report;
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 2);
    const QString error = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(error.startsWith("ferrowick: ")) << error.toStdString();
    EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
    EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
    EXPECT_FALSE(QFile::exists(frames));
    EXPECT_FALSE(QFile::exists(config));
  }
}

}  // namespace
