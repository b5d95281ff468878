// Durable files on real files, with both kinds of temporary file: complete
// under the first free name or absent, never replacing a file, never a stray
// left in the folder; a full disk through the writer seam; leftovers of a
// write cut short swept, never a file being written; two copies writing into
// one folder.
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
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    root = tmp.path().toStdString();
  }
  void TearDown() override { vba::setFileWriter(nullptr); }
  QStringList files(const std::string& folder) const {
    return QDir(QString::fromStdString(folder))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  }
  // Makes a folder of its own for each kind of temporary file.
  std::string folder(TempFiles temps) const {
    const std::string path = root + (temps == TempFiles::Named ? "/named" : "/anonymous");
    QDir().mkpath(QString::fromStdString(path));
    return path;
  }
  QTemporaryDir tmp;
  std::string root;
  const std::vector<uint8_t> bytes = std::vector<uint8_t>(300, 'f');
};

std::string named(const std::string& folder, const std::string& base, int n,
                  const std::string& ext = ".bmp") {
  return folder + "/" + base + (n == 1 ? "" : "_" + std::to_string(n)) + ext;
}

TEST_F(DurableFile, CompleteUnderTheFirstFreeNameOrAbsent) {
  for (const TempFiles temps : kBoth) {
    SCOPED_TRACE(temps == TempFiles::Named ? "named" : "anonymous");
    const std::string dir = folder(temps);
    testsupport::writeFile(dir + "/frame.bmp", "first");
    testsupport::writeFile(dir + "/frame_3.bmp", "third");
    {
      PendingFile file(dir, "frame.bmp", temps);
      file.write(bytes);
      // A name the caller counts as held is passed over as one that a file holds.
      const auto skipSecond = [&](const std::string& path) { return path == named(dir, "frame", 2); };
      EXPECT_EQ(file.publish([&](int n) { return named(dir, "frame", n); }, skipSecond),
                named(dir, "frame", 4));
    }
    // Written by another writer through its path, as GStreamer writes a video.
    {
      PendingFile file(dir, "video.mp4", temps);
      FILE* writer = std::fopen(file.path().c_str(), "wb");
      ASSERT_NE(writer, nullptr);
      std::fputs("video", writer);
      std::fclose(writer);
      EXPECT_EQ(file.publish([&](int n) { return named(dir, "video", n, ".mp4"); }), dir + "/video.mp4");
    }
    // Given up (cancelled, failed): nothing left of it.
    {
      PendingFile file(dir, "dropped.bmp", temps);
      file.write(bytes);
    }
    EXPECT_EQ(files(dir), (QStringList{"frame.bmp", "frame_3.bmp", "frame_4.bmp", "video.mp4"}));
    EXPECT_EQ(testsupport::readFile(dir + "/frame.bmp"), "first");
    EXPECT_EQ(testsupport::readFile(dir + "/frame_3.bmp"), "third");
    EXPECT_EQ(testsupport::readFile(dir + "/frame_4.bmp"), QByteArray(300, 'f'));
    EXPECT_EQ(testsupport::readFile(dir + "/video.mp4"), "video");
    EXPECT_EQ(errorOf([&] { PendingFile(root + "/missing", "x", temps); }), vba::vbErrPathNotFound);
    EXPECT_EQ(errorOf([&] { PendingFile(dir + "/frame.bmp/inner", "x", temps); }), vba::vbErrPathNotFound);
  }
}

TEST_F(DurableFile, WritesThroughShortWritesAndAFullDiskLeavesNothing) {
  struct Case {
    const char* what;
    int err;  // after the first 20 bytes; 0: short and interrupted writes only
    std::optional<int> error;
  };
  const Case cases[] = {
      {"short and interrupted writes", 0, std::nullopt},
      {"disk full", ENOSPC, vba::vbErrDiskFull},
      {"quota reached", EDQUOT, vba::vbErrDiskFull},
      {"an input/output error", EIO, vba::vbErrPathFileAccess},
  };
  for (const TempFiles temps : kBoth) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (temps == TempFiles::Named ? ", named" : ", anonymous"));
      const std::string dir = folder(temps);
      size_t written = 0;
      int calls = 0;
      vba::setFileWriter([&](int fd, const void* buf, size_t count) -> ssize_t {
        if (++calls % 3 == 0) {
          errno = EINTR;
          return -1;
        }
        if (c.err != 0 && written >= 20) {
          errno = c.err;
          return -1;
        }
        const ssize_t n = ::write(fd, buf, std::min<size_t>(count, 7));
        written += static_cast<size_t>(n);
        return n;
      });
      EXPECT_EQ(errorOf([&] {
                  PendingFile file(dir, "frame.bmp", temps);
                  file.write(bytes);
                  file.publish([&](int n) { return named(dir, "frame", n); });
                }),
                c.error);
      EXPECT_EQ(files(dir), c.error ? QStringList{} : QStringList{"frame.bmp"});
      if (!c.error) {
        EXPECT_EQ(testsupport::readFile(dir + "/frame.bmp"), QByteArray(300, 'f'));
      }
      QDir(QString::fromStdString(dir)).removeRecursively();
    }
  }
}

// Temporary files of a write that was cut short go; any other file stays, and
// so does a temporary file a writer holds now.
TEST_F(DurableFile, OnlyLeftoverTemporaryFilesAreRemoved) {
  const QStringList leftovers = {".05_03_2007 080409.bmp.4242.partial", ".captured.mp4.17-2.partial"};
  const QStringList others = {".captured.mp4.partial",     "..17.partial",
                              ".captured.mp4.17-.partial", ".captured.mp4.1x.partial",
                              "captured.mp4.17.partial",   ".captured.mp4.17.partial.bmp",
                              "05_03_2007 080409.bmp"};
  for (const QString& name : leftovers + others) testsupport::writeFile(root + "/" + name.toStdString(), "x");
  ASSERT_TRUE(QDir(tmp.path()).mkdir(".folder.17.partial"));
  const std::string busy = root + "/.busy.bmp.17.partial";
  testsupport::writeFile(busy, "x");
  const int fd = ::open(busy.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);

  durablefile::removeLeftovers(root);
  ::close(fd);
  QStringList expected = others + QStringList{".busy.bmp.17.partial", ".folder.17.partial"};
  expected.sort();
  EXPECT_EQ(files(root), expected);
}

// Two copies of the program writing the same names into one folder, each
// sweeping leftovers before every file (as a new run does) while the other
// writes: every file arrives, whole, under a name of its own.
TEST_F(DurableFile, TwoCopiesWritingIntoOneFolderLoseNothing) {
  QTemporaryDir shm("/dev/shm/ferrowick-XXXXXX");  // tmpfs: 2000 flushes cost nothing there
  const std::string base = (shm.isValid() ? shm.path() : tmp.path()).toStdString();
  for (const TempFiles temps : kBoth) {
    const std::string dir = base + (temps == TempFiles::Named ? "/named" : "/anonymous");
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
