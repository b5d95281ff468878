// The frame store's durable write on real files: the first free name across
// formats, the disk reserve, leftovers, two copies writing into one folder;
// and camera JPEG frames written as files that decoders take.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "store/framestore.h"
#include "tests/fakes/FakeDriver.h"
#include "tests/fakes/LaunchDriver.h"
#include "tests/fakes/TestSupport.h"

namespace {

using framestore::Format;
using framestore::TempFiles;
using testsupport::errorOf;

class FrameFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    root = tmp.path().toStdString();
    ASSERT_TRUE(QDir(tmp.path()).mkdir("sub"));
  }
  void TearDown() override { vba::setDiskSpaceProbe(nullptr); }
  static void write(const std::string& path, const QByteArray& bytes) { testsupport::writeFile(path, bytes); }
  static QByteArray read(const std::string& path) { return testsupport::readFile(path); }
  QTemporaryDir tmp;
  std::string root;
  const std::vector<uint8_t> bytes = std::vector<uint8_t>(300, 'f');
  const QByteArray expected = QByteArray(300, 'f');
};

TEST_F(FrameFiles, UnderTheFirstNameNoFrameOfAnyFormatHolds) {
  for (TempFiles temps : {TempFiles::Anonymous, TempFiles::Named}) {
    const std::string sub = root + (temps == TempFiles::Named ? "/sub" : "");
    write(sub + "/frame.bmp", "first");
    write(sub + "/frame_2.png", "second");
    EXPECT_EQ(framestore::writeUnderFreeName(bytes, sub, "frame", Format::Jpeg, temps), sub + "/frame_3.jpg");
    EXPECT_EQ(framestore::writeUnderFreeName(bytes, sub, "other", Format::Png, temps), sub + "/other.png");
    EXPECT_EQ(read(sub + "/frame.bmp"), "first");
    EXPECT_EQ(read(sub + "/frame_2.png"), "second");
    EXPECT_EQ(read(sub + "/frame_3.jpg"), expected);
    EXPECT_EQ(QDir(QString::fromStdString(sub)).entryList(QDir::Files | QDir::Hidden).size(), 4);
    EXPECT_EQ(errorOf([&] {
                framestore::writeUnderFreeName(bytes, root + "/missing", "frame", Format::Bmp, temps);
              }),
              vba::vbErrPathNotFound);
  }
}

// The reserve is 5 % of the disk, at most 64 MB; a file that would eat into
// it is not written at all.
TEST_F(FrameFiles, OnlyWhenTheReserveStaysFree) {
  constexpr uint64_t MB = 1024 * 1024;
  struct Case {
    uint64_t size;
    uint64_t available;  // beyond the file's own size
    bool written;
  };
  const Case cases[] = {
      {100 * MB, 5 * MB, true},
      {100 * MB, 5 * MB - 1, false},
      {10000 * MB, 64 * MB, true},
      {10000 * MB, 64 * MB - 1, false},
      {1 * MB, 52428, true},
      {1 * MB, 52427, false},
      {0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.available);
    std::string asked;
    vba::setDiskSpaceProbe([&](const std::string& path) {
      asked = path;
      return vba::DiskSpace{c.size, c.available + bytes.size()};
    });
    const auto error =
        errorOf([&] { framestore::writeUnderFreeName(bytes, root + "/sub", "frame", Format::Bmp); });
    EXPECT_EQ(asked, root + "/sub");
    EXPECT_EQ(error, c.written ? std::nullopt : std::optional<int>(vba::vbErrDiskFull));
    EXPECT_EQ(QDir(tmp.path() + "/sub").entryList(QDir::Files | QDir::Hidden).size(), c.written ? 1 : 0);
    QFile::remove(tmp.path() + "/sub/frame.bmp");
  }
}

// Temporary files of a save that was cut short go; any other file stays, and
// so does a temporary file a save is writing now.
TEST_F(FrameFiles, OnlyLeftoverTemporaryFilesAreRemoved) {
  const QString folder = tmp.path() + "/sub";
  const QStringList leftovers = {".~frame-0123456789abcdef.tmp", ".~frame-fedcba9876543210.tmp"};
  const QStringList others = {".~frame-0123456789ABCDEF.tmp",  ".~frame-0123.tmp",
                              ".~frame-0123456789abcdefa.tmp", ".~frame-0123456789abcdef.tmp.bmp",
                              "~frame-0123456789abcdef.tmp",   "notes.tmp",
                              ".~frame-0123456789abcdeg.tmp",  "05_03_2007 080409.bmp"};
  for (const QString& name : leftovers + others) write((folder + "/" + name).toStdString(), "x");
  const std::string busy = (folder + "/.~frame-00000000000000aa.tmp").toStdString();
  write(busy, "x");
  const int fd = ::open(busy.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  ASSERT_TRUE(QDir(folder).mkdir(".~frame-1111111111111111.tmp"));

  framestore::removeLeftovers(folder.toStdString());
  ::close(fd);
  QStringList expected = others + QStringList{".~frame-00000000000000aa.tmp", ".~frame-1111111111111111.tmp"};
  expected.sort();
  EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
            expected);
}

// Two copies of the program writing the same names into one folder, each
// clearing leftovers before every frame (as a new run does) while the other
// writes: every frame arrives, whole, under a name of its own.
TEST_F(FrameFiles, TwoCopiesWritingIntoOneFolderLoseNothing) {
  QTemporaryDir shm("/dev/shm/ferrowick-XXXXXX");  // tmpfs: 2000 flushes cost nothing there
  const QString base = shm.isValid() ? shm.path() : tmp.path();
  for (TempFiles temps : {TempFiles::Anonymous, TempFiles::Named}) {
    const std::string folder = (base + (temps == TempFiles::Named ? "/named" : "/anonymous")).toStdString();
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(folder)));
    std::atomic<int> lost = 0;
    const auto copy = [&] {
      for (int i = 0; i < 500; ++i) {
        try {
          framestore::removeLeftovers(folder);
          framestore::writeUnderFreeName(bytes, folder, "frame " + std::to_string(i), Format::Bmp, temps);
        } catch (const vba::RuntimeError&) {
          ++lost;
        }
      }
    };
    std::thread first(copy), second(copy);
    first.join();
    second.join();
    EXPECT_EQ(lost, 0);
    const QStringList files = QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(files.size(), 1000);
    EXPECT_EQ(files.filter("_2.bmp").size(), 500);
    for (const QString& f : files)
      ASSERT_EQ(read(folder + "/" + f.toStdString()), expected) << f.toStdString();
  }
}

// ---- Camera JPEG frames

// The segments of a JPEG file but its Huffman tables, as many cameras send
// their frames.
std::vector<uint8_t> withoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  size_t at = 2;
  while (jpeg[at + 1] != 0xDA) {
    const size_t length = 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + length);
    at += length;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

TEST_F(FrameFiles, CameraJpegFramesAreWrittenAsTheyCameWithHuffmanTablesWhereMissing) {
  QImage picture(64, 48, QImage::Format_RGB32);
  picture.fill(QColor(0x30, 0x80, 0xC0));
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(picture.save(&buffer, "JPEG", 92));
  const std::vector<uint8_t> whole(encoded.begin(), encoded.end());
  const std::vector<uint8_t> bare = withoutHuffmanTables(whole);
  ASSERT_LT(bare.size(), whole.size());

  framestore::FrameStore store;
  store.start(root + "/sub");
  for (const auto& frame : {whole, bare}) {
    ASSERT_TRUE(store.save(std::make_shared<fakes::FakeStill>(nullptr, frame), vba::DateTime{}, "frame",
                           {Format::Jpeg}));
  }
  store.waitIdle();
  EXPECT_EQ(store.takeOutcome().written, 2);
  const QByteArray asCame = read(root + "/sub/frame.jpg");
  const QByteArray mended = read(root + "/sub/frame_2.jpg");
  EXPECT_EQ(asCame, encoded) << "a frame with its tables is written byte for byte";
  // The tables are in; the camera's scan is kept as it came: no decoding, no
  // second encoding.
  EXPECT_TRUE(mended.contains("\xFF\xC4"));
  const QByteArray bareFile(reinterpret_cast<const char*>(bare.data()), qsizetype(bare.size()));
  EXPECT_TRUE(mended.endsWith(bareFile.mid(bareFile.indexOf("\xFF\xDA"))));
  const QImage decoded = QImage::fromData(mended, "JPEG");
  ASSERT_EQ(decoded.size(), QSize(64, 48));
  EXPECT_EQ(testsupport::mainColour(decoded), testsupport::mainColour(picture));
  auto gstreamer = fakes::makeLaunchDriver("filesrc location=\"" + root + "/sub/frame_2.jpg\" ! jpegdec ! " +
                                               "videoconvert ! video/x-raw,format=BGRx ! appsink name=sink",
                                           "decoder");
  ASSERT_TRUE(gstreamer->connect(64, 48, 15));
  ASSERT_TRUE(testsupport::waitFor([&] { return gstreamer->latestFrame() != nullptr; }, 5000));
  EXPECT_EQ(std::pair(gstreamer->latestFrame()->width, gstreamer->latestFrame()->height), std::pair(64, 48));
}

}  // namespace
