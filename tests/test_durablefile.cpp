// Durable files on real files, with both kinds of temporary file: complete
// under the first free name or absent, never replacing a file, never a stray
// left in the folder, through short writes and a full disk; leftovers of a
// write cut short swept, never a file being written, also while another copy
// of the program writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/durablefile.h"
#include "platform/vba.h"
#include "tests/fakes/TestSupport.h"

namespace {

using durablefile::PendingFile;
using durablefile::TempFiles;
using testsupport::errorOf;

constexpr TempFiles kBoth[] = {TempFiles::Anonymous, TempFiles::Named};

class DurableFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
  void TearDown() override { vba::setFileWriter(nullptr); }
  // A folder of its own for each kind of temporary file.
  std::string folder(TempFiles temps) const {
    const QString path = tmp.filePath(temps == TempFiles::Named ? "named" : "anonymous");
    QDir().mkpath(path);
    return path.toStdString();
  }
  static QStringList files(const std::string& folder) {
    return QDir(QString::fromStdString(folder))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  }
  // Writes fail with err once 20 bytes are written; 0: short and interrupted
  // writes only.
  void writesFailAfter20Bytes(int err) {
    vba::setFileWriter([err, written = size_t{0}, calls = 0](int fd, const void* buf, size_t n) mutable {
      errno = ++calls % 3 == 0 ? EINTR : err;
      if (errno == EINTR || (err != 0 && written >= 20)) return ssize_t{-1};
      const ssize_t done = ::write(fd, buf, std::min<size_t>(n, 7));
      written += static_cast<size_t>(done);
      return done;
    });
  }
  QTemporaryDir tmp;
  const std::vector<uint8_t> bytes = std::vector<uint8_t>(300, 'f');
};

std::string named(const std::string& folder, const std::string& base, int n) {
  return folder + "/" + base + (n == 1 ? "" : "_" + std::to_string(n)) + ".bmp";
}

TEST_F(DurableFile, CompleteUnderTheFirstFreeNameOrAbsent) {
  for (const TempFiles temps : kBoth) {
    SCOPED_TRACE(temps == TempFiles::Named ? "named" : "anonymous");
    const std::string dir = folder(temps);
    testsupport::writeFile(dir + "/frame.bmp", "first");
    writesFailAfter20Bytes(0);
    {
      PendingFile file(dir, "frame.bmp", temps);
      file.write(bytes);
      EXPECT_EQ(file.publish([&](int n) { return named(dir, "frame", n); }), dir + "/frame_2.bmp");
    }
    {  // written by another writer through its path, as GStreamer writes a video
      PendingFile file(dir, "video.mp4", temps);
      FILE* writer = std::fopen(file.path().c_str(), "wb");
      ASSERT_NE(writer, nullptr);
      std::fputs("video", writer);
      std::fclose(writer);
      EXPECT_EQ(file.publish([&](int) { return dir + "/video.mp4"; }), dir + "/video.mp4");
    }
    {  // given up (cancelled, failed)
      PendingFile file(dir, "dropped.bmp", temps);
      file.write(bytes);
    }
    for (const auto& [err, error] :
         {std::pair{ENOSPC, vba::vbErrDiskFull}, {EIO, vba::vbErrPathFileAccess}}) {
      writesFailAfter20Bytes(err);
      EXPECT_EQ(errorOf([&] {
                  PendingFile file(dir, "frame.bmp", temps);
                  file.write(bytes);
                  file.publish([&](int n) { return named(dir, "frame", n); });
                }),
                error);
    }
    EXPECT_EQ(files(dir), (QStringList{"frame.bmp", "frame_2.bmp", "video.mp4"}));
    EXPECT_EQ(testsupport::readFile(dir + "/frame.bmp"), "first");
    EXPECT_EQ(testsupport::readFile(dir + "/frame_2.bmp"), QByteArray(300, 'f'));
    EXPECT_EQ(testsupport::readFile(dir + "/video.mp4"), "video");
    EXPECT_EQ(errorOf([&] { PendingFile(dir + "/missing", "x", temps); }), vba::vbErrPathNotFound);
    EXPECT_EQ(errorOf([&] { PendingFile(dir + "/frame.bmp/inner", "x", temps); }), vba::vbErrPathNotFound);
  }
}

// Temporary files of a write that was cut short go; any other file stays, and
// so does a temporary file a writer holds now.
TEST_F(DurableFile, OnlyLeftoverTemporaryFilesAreRemoved) {
  const std::string dir = tmp.path().toStdString();
  const QStringList leftovers = {".05_03_2007 080409.bmp.4242.partial", ".captured.mp4.17-2.partial"};
  const QStringList others = {".captured.mp4.partial",     "..17.partial",
                              ".captured.mp4.17-.partial", ".captured.mp4.1x.partial",
                              "captured.mp4.17.partial",   ".captured.mp4.17.partial.bmp"};
  for (const QString& name : leftovers + others) testsupport::writeFile(dir + "/" + name.toStdString(), "x");
  ASSERT_TRUE(QDir(tmp.path()).mkdir(".folder.17.partial"));
  const std::string busy = dir + "/.busy.bmp.17.partial";
  testsupport::writeFile(busy, "x");
  const int fd = ::open(busy.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);

  durablefile::removeLeftovers(dir);
  ::close(fd);
  QStringList expected = others + QStringList{".busy.bmp.17.partial", ".folder.17.partial"};
  expected.sort();
  EXPECT_EQ(files(dir), expected);
}

// Two copies of the program writing the same names into one folder, each
// sweeping leftovers before every file (as a new run does) while the other
// writes: every file arrives, whole, under a name of its own.
TEST_F(DurableFile, TwoCopiesWritingIntoOneFolderLoseNothing) {
  QTemporaryDir shm("/dev/shm/ferrowick-XXXXXX");  // tmpfs: 2000 flushes cost nothing there
  for (const TempFiles temps : kBoth) {
    const std::string dir = (shm.isValid() ? shm.path() : tmp.path()).toStdString() + "/" +
                            (temps == TempFiles::Named ? "named" : "anonymous");
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir)));
    std::atomic<int> lost = 0;
    const auto copy = [&] {
      for (int i = 0; i < 500; ++i) {
        try {
          durablefile::removeLeftovers(dir);
          PendingFile file(dir, "frame.bmp", temps);
          file.write(bytes);
          file.publish([&](int n) { return named(dir, "frame " + std::to_string(i), n); });
        } catch (const vba::RuntimeError&) {
          ++lost;
        }
      }
    };
    std::thread first(copy), second(copy);
    first.join();
    second.join();
    EXPECT_EQ(lost, 0);
    const QStringList written = files(dir);
    EXPECT_EQ(written.size(), 1000);
    EXPECT_EQ(written.filter("_2.bmp").size(), 500);
    for (const QString& f : written)
      ASSERT_EQ(testsupport::readFile(dir + "/" + f.toStdString()), QByteArray(300, 'f')) << f.toStdString();
  }
}

}  // namespace
