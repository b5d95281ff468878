// A run recorded for resuming, the program killed, and --resume capturing on
// into the same folder: the program itself, the built-in test pattern, real
// settings and files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "schedule/resumejob.h"
#include "settings/settings.h"
#include "tests/fakes/TestSupport.h"

namespace {

TEST(ResumeJob, KilledRunGoesOnIntoTheSameFolderWithResume) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString frames = dir.filePath("frames");
  const auto count = [&] { return QDir(frames).entryList({"*.png"}, QDir::Files).size(); };
  const testsupport::ChildSanitizerLog sanitizer;
  // Ticking the option writes the autostart entry; the frame options in force are part of the job.
  schedule::setResumeEnabled(true);
  ASSERT_TRUE(QFile::exists(QString::fromStdString(schedule::autostartEntryPath())));
  settings::saveFrameOptions({false, framestore::Format::Png, false});

  QProcess first;
  sanitizer.start(first, {"--source", "Test pattern", "--interval", "1", "--folder", frames, "--start"});
  ASSERT_TRUE(testsupport::waitFor([&] { return count() >= 2; }, 20000)) << "frames: " << count();
  first.kill();  // as a power cut would end it
  ASSERT_TRUE(first.waitForFinished(10000));
  const qsizetype before = count();
  EXPECT_EQ(settings::recordedJob().value_or(settings::Job{}).folder, frames.toStdString());
  settings::saveFrameOptions({false, framestore::Format::Jpeg, false});

  QProcess resumed;
  sanitizer.start(resumed, {"--resume"});
  EXPECT_TRUE(testsupport::waitFor([&] { return count() >= before + 2; }, 20000)) << "frames: " << count();
  // The resumed run takes frames as the recorded one did; the user's own options stay theirs.
  EXPECT_EQ(settings::frameOptions().format, framestore::Format::Jpeg);
  // The end of the session (SIGTERM) ends the program cleanly and leaves the job for the next login.
  resumed.terminate();
  ASSERT_TRUE(resumed.waitForFinished(10000));
  const std::string report = sanitizer.takeReport();
  EXPECT_TRUE(report.empty()) << report;
  EXPECT_EQ(resumed.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(settings::recordedJob().value_or(settings::Job{}).source, "Test pattern");

  schedule::setResumeEnabled(false);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(schedule::autostartEntryPath())));
  EXPECT_FALSE(settings::recordedJob());
}

}  // namespace
