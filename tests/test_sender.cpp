// Sending frames off the machine, against a real SFTP server (rclone's) and a
// real folder: whole, in capture order, nothing lost across an outage, a
// refusal passed over, the rest sent after the program is killed.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <ctime>
#include <string>
#include <vector>

#include "schedule/localtime.h"
#include "schedule/resumejob.h"
#include "send/sender.h"
#include "store/framename.h"
#include "tests/fakes/RcloneRig.h"
#include "tests/fakes/TestSupport.h"

namespace {

// What happens to names in a folder: "W name" a file written and closed,
// "M name" a file renamed into it.
class Watch {
 public:
  explicit Watch(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK)) {
    inotify_add_watch(fd_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
  }
  ~Watch() { ::close(fd_); }
  const std::vector<std::string>& events() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* p = buffer; p < buffer + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        events_.push_back(std::string(e->mask & IN_MOVED_TO ? "M " : "W ") + e->name);
        p += sizeof(inotify_event) + e->len;
      }
    }
    return events_;
  }

 private:
  int fd_;
  std::vector<std::string> events_;
};

// A frame named as the program names them, taken `second` seconds from now
// (sending sends frames taken from the moment it began).
std::string writeFrame(const QString& folder, int second, const char* format, Qt::GlobalColor colour) {
  const vba::DateTime taken = schedule::localTime(std::time(nullptr) + 60 + second);
  const QString path = folder + "/" + QString::fromStdString(framename::baseName(taken)) + "." + format;
  QImage image(320, 240, QImage::Format_RGB32);
  image.fill(colour);
  EXPECT_TRUE(image.save(path));
  return path.toStdString();
}

// Senders here try a failed send again only after 10 minutes: a destination
// that is back is sent to within the tests' waits only because it is asked
// every few seconds whether it answers.
constexpr int kLongRetryMs = 10 * 60 * 1000;

// Every frame is at the destination, byte for byte; latest.jpg is a JPEG
// of the newest; no temporary file is left.
void expectSent(const std::string& destination, const std::vector<std::string>& frames) {
  for (const std::string& f : frames) {
    const std::string name = f.substr(f.find_last_of('/') + 1);
    EXPECT_EQ(testsupport::readFile(destination + "/" + name), testsupport::readFile(f)) << name;
  }
  const QByteArray latest = testsupport::readFile(destination + "/latest.jpg");
  EXPECT_TRUE(latest.startsWith("\xff\xd8"));
  EXPECT_EQ(QImage::fromData(latest).size(), QImage(QString::fromStdString(frames.back())).size());
  EXPECT_TRUE(QDir(QString::fromStdString(destination))
                  .entryList({"*.partial"}, QDir::Files | QDir::Hidden)
                  .isEmpty());
}

TEST(Sender, ToAServerWholeInOrderThroughAnOutageAndARefusal) {
  fakes::RcloneRig rig;
  ASSERT_TRUE(rig.start());
  QTemporaryDir dir;
  const QString frames = dir.filePath("frames");
  QDir().mkpath(frames);
  const std::string served = rig.served() + "/cam";
  QDir().mkpath(QString::fromStdString(served));
  Watch watch(served);
  sending::Sender sender(kLongRetryMs);
  sender.bind(frames.toStdString(), "rig:cam", true);
  std::vector<std::string> sent;
  const auto frame = [&](int second, const char* format) {
    sent.push_back(writeFrame(frames, second, format, Qt::GlobalColor(Qt::red + second)));
    sender.frameWritten(sent.back());
  };
  for (int s = 0; s < 4; ++s) frame(s, s == 2 ? "png" : "bmp");
  ASSERT_TRUE(sender.waitIdle(20000)) << sending::describe(sender.state());

  // The server gone: frames wait, and are sent when it is back.
  rig.stop();
  frame(4, "bmp");
  frame(5, "bmp");
  ASSERT_TRUE(testsupport::waitFor([&] { return sender.state().errorSince != 0; }, 20000));
  EXPECT_TRUE(sender.state().unreachable);
  EXPECT_EQ(sender.state().waiting, 2);
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(sender.waitIdle(30000)) << sending::describe(sender.state());
  EXPECT_EQ(sender.state().errorSince, 0);

  // A server that refuses the file: passed over, and the next is sent.
  ASSERT_TRUE(rig.start(true));
  const std::string refused = writeFrame(frames, 6, "bmp", Qt::black);
  sender.frameWritten(refused);
  ASSERT_TRUE(testsupport::waitFor([&] { return sender.state().refused == 1; }, 30000))
      << sending::describe(sender.state());
  EXPECT_TRUE(sender.settled(refused));
  ASSERT_TRUE(rig.start());
  frame(7, "bmp");
  ASSERT_TRUE(sender.waitIdle(30000)) << sending::describe(sender.state());

  expectSent(served, sent);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(served + refused.substr(refused.find_last_of('/')))));
  // Each frame appeared once, renamed into place in capture order; nothing
  // was ever written under a final name.
  std::vector<std::string> appeared;
  for (const std::string& e : watch.events()) {
    EXPECT_TRUE(e[0] == 'M' || (e.starts_with("W .") && e.ends_with(".partial"))) << e;
    if (e[0] == 'M' && e != "M latest.jpg") appeared.push_back(e.substr(2));
  }
  std::vector<std::string> names;
  for (const std::string& f : sent) names.push_back(f.substr(f.find_last_of('/') + 1));
  EXPECT_EQ(appeared, names);
}

TEST(Sender, ToAFolderThatGoesAwayAndComesBack) {
  QTemporaryDir dir;
  const QString frames = dir.filePath("frames");
  const QString nas = dir.filePath("nas");
  QDir().mkpath(frames);
  QDir().mkpath(nas);
  sending::Sender sender(kLongRetryMs);
  sender.bind(frames.toStdString(), nas.toStdString(), true);
  std::vector<std::string> sent = {writeFrame(frames, 0, "bmp", Qt::red)};
  sender.frameWritten(sent.back());
  ASSERT_TRUE(sender.waitIdle(10000));
  // An unmounted share: its folder is not made anew, frames wait for it.
  QDir(nas).removeRecursively();
  sent.push_back(writeFrame(frames, 1, "png", Qt::green));
  sender.frameWritten(sent.back());
  ASSERT_TRUE(testsupport::waitFor([&] { return sender.state().errorSince != 0; }, 10000));
  EXPECT_FALSE(QFile::exists(nas));
  EXPECT_EQ(sending::describe(sender.state()).substr(0, 41), "1 frame waiting; destination unreachable ");
  QDir().mkpath(nas);
  ASSERT_TRUE(sender.waitIdle(10000));
  sent.erase(sent.begin());
  expectSent(nas.toStdString(), sent);
}

TEST(Sender, KilledProgramResumedSendsTheRest) {
  fakes::RcloneRig rig;
  ASSERT_TRUE(rig.start());
  QTemporaryDir dir;
  const QString frames = dir.filePath("frames");
  const QString served = QString::fromStdString(rig.served()) + "/cam";
  QDir().mkpath(served);
  Watch watch(served.toStdString());
  const auto count = [](const QString& folder) {
    return QDir(folder).entryList({"*.bmp"}, QDir::Files).size();
  };
  const testsupport::ChildSanitizerLog sanitizer;
  schedule::setResumeEnabled(true);
  QProcess first;
  sanitizer.start(first, {"--source", "Test pattern", "--interval", "1", "--folder", frames, "--send-to",
                          "rig:cam", "--start"});
  ASSERT_TRUE(testsupport::waitFor([&] { return count(served) >= 2; }, 30000));
  // A backlog builds while the server is away, and the program is killed with it.
  rig.stop();
  ASSERT_TRUE(testsupport::waitFor([&] { return count(frames) >= count(served) + 3; }, 30000));
  first.kill();
  ASSERT_TRUE(first.waitForFinished(10000));
  const QStringList taken = QDir(frames).entryList({"*.bmp"}, QDir::Files);
  ASSERT_TRUE(rig.start());

  QProcess resumed;
  sanitizer.start(resumed, {"--resume"});
  const auto allThere = [&] {
    const QStringList there = QDir(served).entryList({"*.bmp"}, QDir::Files);
    return std::all_of(taken.begin(), taken.end(), [&](const QString& f) { return there.contains(f); });
  };
  EXPECT_TRUE(testsupport::waitFor(allThere, 40000));
  resumed.terminate();
  ASSERT_TRUE(resumed.waitForFinished(10000));
  schedule::setResumeEnabled(false);
  const std::string report = sanitizer.takeReport();
  EXPECT_TRUE(report.empty()) << report;
  for (const QString& f : taken) {
    EXPECT_EQ(testsupport::readFile((served + "/" + f).toStdString()),
              testsupport::readFile((frames + "/" + f).toStdString()))
        << f.toStdString();
  }
  for (const std::string& e : watch.events())
    EXPECT_TRUE(e[0] == 'M' || (e.starts_with("W .") && e.ends_with(".partial"))) << e;
}

}  // namespace
