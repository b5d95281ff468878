// The chores of a long run on real files: old frames deleted, but never a
// file that is not a frame, one sending still needs, or one of a day whose
// video is due and could not be made; the video of each day made.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "schedule/localtime.h"
#include "send/sendqueue.h"
#include "send/upkeep.h"
#include "store/framename.h"
#include "tests/fakes/TestSupport.h"

namespace {

constexpr int64_t kDay = 24 * 3600;

std::string dayOf(int64_t t) { return vba::Format(schedule::localTime(t), "dd_MM_yyyy"); }

TEST(Upkeep, OldFramesDeletedOnlyWhenNothingStillNeedsThem) {
  const int64_t now = std::time(nullptr);
  const int64_t old = now - 5 * kDay;
  const std::string oldDay = dayOf(old);
  const vba::DateTime oldDate = schedule::localTime(old);
  const std::string today = dayOf(now - 10);
  struct Case {
    const char* what;
    bool videosBlocked;  // "videos" is a plain file: no video can be made
    std::set<std::string> kept;
  };
  const std::vector<Case> cases = {
      {"videos made", false, {"old unsent", "today", "notes.txt"}},
      {"videos due but not made", true, {"old sent", "old unsent", "today", "notes.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QTemporaryDir dir;
    const QString frames = dir.filePath("frames");
    QDir().mkpath(frames);
    std::map<std::string, std::string> files;  // what -> path
    const auto frame = [&](const char* what, int64_t taken) {
      const std::string path =
          frames.toStdString() + "/" + framename::baseName(schedule::localTime(taken)) + ".bmp";
      QImage image(32, 24, QImage::Format_RGB32);
      image.fill(Qt::darkGreen);
      ASSERT_TRUE(image.save(QString::fromStdString(path)));
      files[what] = path;
    };
    frame("old sent", old);
    frame("old unsent", old + 1);
    frame("today", now - 10);
    files["notes.txt"] = frames.toStdString() + "/notes.txt";
    testsupport::writeFile(files["notes.txt"], "not a frame");
    if (c.videosBlocked) testsupport::writeFile(dir.filePath("videos").toStdString(), "x");
    // Videos of each day asked for since the old day.
    testsupport::writeFile(sending::stateFile(frames.toStdString(), "days"),
                           QByteArray::number(oldDate.year * 10000 + oldDate.month * 100 + oldDate.day));

    std::mutex mutex;
    std::vector<std::string> made;
    sending::Upkeep upkeep(
        [&](const std::string& video) {
          std::lock_guard lock(mutex);
          made.push_back(video);
        },
        [&](const std::string& frame) { return frame != files["old unsent"]; });
    upkeep.bind(frames.toStdString(), true, 2);
    upkeep.check(now, true);
    ASSERT_TRUE(upkeep.waitIdle(60000));

    for (const auto& [what, path] : files)
      EXPECT_EQ(QFile::exists(QString::fromStdString(path)), c.kept.count(what) > 0) << what;
    const std::string videos = dir.filePath("videos").toStdString();
    const std::vector<std::string> expected =
        c.videosBlocked
            ? std::vector<std::string>{}
            : std::vector<std::string>{videos + "/" + oldDay + ".mp4", videos + "/" + today + ".mp4"};
    EXPECT_EQ(made, expected);
    for (const std::string& v : expected) EXPECT_GT(QFile(QString::fromStdString(v)).size(), 0) << v;
  }
}

}  // namespace
