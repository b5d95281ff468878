// The frame store on real files: the first free name across formats and the
// disk reserve; and camera JPEG frames written as files that decoders take.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "store/framestore.h"
#include "tests/fakes/FakeDriver.h"
#include "tests/fakes/LaunchDriver.h"
#include "tests/fakes/TestSupport.h"

namespace {

using framestore::Format;

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

// A frame takes the first name no frame of any format holds, and is written
// only when the disk's reserve (5 % of it, at most 64 MB) stays free.
TEST_F(FrameFiles, UnderTheFirstFreeNameOnlyWhenTheReserveStaysFree) {
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
  const std::string sub = root + "/sub";
  write(sub + "/frame.bmp", "first");
  write(sub + "/frame_2.png", "second");
  framestore::FrameStore store(durablefile::TempFiles::Named);
  store.start(sub);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.available);
    vba::setDiskSpaceProbe([&](const std::string&) {
      return vba::DiskSpace{c.size, c.available + bytes.size()};
    });
    ASSERT_TRUE(store.save(std::make_shared<fakes::FakeStill>(nullptr, bytes), vba::DateTime{}, "frame",
                           {Format::Jpeg}));
    store.waitIdle();
    const framestore::FrameStore::Outcome outcome = store.takeOutcome();
    EXPECT_EQ(outcome.written, c.written ? 1 : 0);
    EXPECT_EQ(outcome.failure, c.written ? framestore::FrameStore::Failure::None
                                         : framestore::FrameStore::Failure::DiskReserve);
  }
  EXPECT_EQ(
      QDir(QString::fromStdString(sub)).entryList(QDir::Files | QDir::Hidden),
      (QStringList{"frame.bmp", "frame_2.png", "frame_3.jpg", "frame_4.jpg", "frame_5.jpg", "frame_6.jpg"}));
  EXPECT_EQ(read(sub + "/frame_3.jpg"), expected);
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
