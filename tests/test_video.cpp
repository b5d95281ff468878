// The video maker: frames in capture order, real encodes decoded back,
// cancel, and flicker evened out.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <cmath>
#include <string>
#include <vector>

#include "tests/fakes/TestSupport.h"
#include "video/deflicker.h"
#include "video/makevideo.h"

namespace {

// A frame file: a picture of the given size and colour in the format its
// name says; "cut" keeps the first half of it, "text" makes it a line of text.
void writeFrame(const QString& path, QRgb colour, const QDateTime& modified = {},
                const std::string& kind = "", QSize size = {8, 6}) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(colour);
  QFile file(path);
  if (kind != "text") {
    ASSERT_TRUE(image.save(path, nullptr, 95));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    if (kind == "cut") file.resize(file.size() / 2);
  } else {
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture\n");
  }
  if (modified.isValid()) file.setFileTime(modified, QFile::FileModificationTime);
}

struct File {
  const char* name;
  const char* modifiedUtc;  // ISO 8601; empty: now
  const char* kind = "";    // "", "cut" or "text"
};

struct OrderCase {
  const char* what;
  std::vector<File> files;
  std::vector<std::string> order;  // the frames read, in order
  int notFrames;
  int undecodable;
};

}  // namespace

TEST(VideoFrames, ReadInCaptureOrder) {
  const std::vector<OrderCase> cases = {
      {"a month end, and names taken within a second",
       {{"01_02_2024 000000_10.bmp", ""},
        {"31_01_2024 235959_2.bmp", ""},
        {"01_02_2024 000000_2.bmp", ""},
        {"01_02_2024 000000.bmp", ""}},
       {"31_01_2024 235959_2.bmp", "01_02_2024 000000.bmp", "01_02_2024 000000_2.bmp",
        "01_02_2024 000000_10.bmp"},
       0,
       0},
      {"the hour repeated when daylight saving ends, and each format",
       {{"27_10_2024 020000_2.png", "2024-10-27T01:00:00Z"},
        {"27_10_2024 023000.jpg", "2024-10-27T00:30:00Z"},
        {"27_10_2024 023000_2.jpeg", "2024-10-27T01:30:00Z"},
        {"27_10_2024 020000.bmp", "2024-10-27T00:00:00Z"},
        {"27_10_2024 030000.BMP", "2024-10-27T02:00:00Z"}},
       {"27_10_2024 020000.bmp", "27_10_2024 023000.jpg", "27_10_2024 020000_2.png",
        "27_10_2024 023000_2.jpeg", "27_10_2024 030000.BMP"},
       0,
       0},
      {"one name twice: the older file first",
       {{"05_03_2024 080409.png", "2024-03-05T07:04:09.600Z"},
        {"05_03_2024 080409.bmp", "2024-03-05T07:04:09.200Z"}},
       {"05_03_2024 080409.bmp", "05_03_2024 080409.png"},
       0,
       0},
      {"files that are not frames, frames that cannot be read",
       {{"notes.txt", "", "text"},
        {"01_03_2024 120000.bmp", "", "cut"},
        {"01_03_2024 120020.jpg", "", "cut"},
        {"01_03_2024 120040.png", "", "cut"},
        {"01_03_2024 120100.bmp", "", "text"},
        {"01_03_2024 120120.bmp", ""}},
       {"01_03_2024 120120.bmp"},
       1,
       4},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.what);
    QTemporaryDir dir;
    for (const File& f : c.files) {
      writeFrame(dir.filePath(f.name), qRgb(200, 30, 30),
                 QDateTime::fromString(f.modifiedUtc, Qt::ISODateWithMs), f.kind);
    }
    const video::FrameList list = video::listFrames(dir.path().toStdString(), "Europe/Berlin");
    video::FrameReader reader(list, 8, 6);
    std::vector<std::string> read;
    for (video::Picture picture; reader.next(picture);) {
      read.push_back(QFileInfo(QString::fromStdString(picture.source)).fileName().toStdString());
    }
    EXPECT_EQ(read, c.order);
    EXPECT_EQ(list.notFrames, c.notFrames);
    EXPECT_EQ(reader.undecodable(), c.undecodable);
  }
}

namespace {

// Every frame of a video, decoded, and its length in seconds; a video that
// cannot be decoded gives no frames.
std::vector<QImage> decodeVideo(const std::string& path, double& seconds) {
  GstElement* pipeline = gst_parse_launch(
      ("filesrc location=\"" + path +
       "\" ! decodebin ! videoconvert ! video/x-raw,format=BGRx ! appsink name=out sync=false")
          .c_str(),
      nullptr);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  std::vector<QImage> frames;
  seconds = 0;
  while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND)) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    int width = 0, height = 0;
    gst_structure_get_int(caps, "width", &width);
    gst_structure_get_int(caps, "height", &height);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    frames.push_back(QImage(map.data, width, height, QImage::Format_RGB32).copy());
    gst_buffer_unmap(buffer, &map);
    // Stream time: an MP4 may start its frames later in its own time line.
    seconds = static_cast<double>(
                  gst_segment_to_stream_time(gst_sample_get_segment(sample), GST_FORMAT_TIME,
                                             GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer))) /
              GST_SECOND;
    gst_sample_unref(sample);
  }
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return frames;
}

// A folder of count frames, 64 x 32, red to green, then a blue square
// (another shape: it gets black bars); and a file that is not a frame.
void writeRun(const QTemporaryDir& dir, int count) {
  for (int i = 0; i < count; ++i) {
    const bool last = i == count - 1;
    writeFrame(dir.filePath(QString("01_03_2024 12%1.bmp").arg(i, 4, 10, QChar('0'))),
               last ? qRgb(0, 0, 255) : qRgb(255 * (count - 2 - i) / (count - 2), 255 * i / (count - 2), 0),
               {}, "", last ? QSize(32, 32) : QSize(64, 32));
  }
  QFile(dir.filePath("notes.txt")).open(QIODevice::WriteOnly);
}

}  // namespace

TEST(VideoMaker, EncodesFramesThatDecodeBackInOrder) {
  gst_init(nullptr, nullptr);
  QTemporaryDir frames;
  writeRun(frames, 10);
  for (const video::Format format : {video::Format::mp4, video::Format::webm}) {
    SCOPED_TRACE(video::extension(format));
    // A file already under the name asked for is kept: the video takes the next.
    QTemporaryDir out;
    const QString ext = video::extension(format);
    const video::Settings settings{frames.path().toStdString(), out.filePath("run." + ext).toStdString(), 10,
                                   format};
    testsupport::writeFile(settings.output, "kept");
    const std::string made = out.filePath("run_2." + ext).toStdString();
    std::atomic<bool> cancel{false};
    const video::Result result = video::makeVideo(settings, nullptr, cancel);
    ASSERT_TRUE(result.complete) << result.message;
    EXPECT_EQ(result.message.rfind("Made " + made + ":", 0), 0u) << result.message;
    EXPECT_EQ(result.frames, 10);
    EXPECT_EQ(result.notFrames, 1);
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"run." + ext, "run_2." + ext}));
    double seconds = 0;
    const std::vector<QImage> decoded = decodeVideo(made, seconds);
    ASSERT_EQ(decoded.size(), 10u);
    EXPECT_EQ(decoded.front().size(), QSize(64, 32));
    EXPECT_NEAR(seconds, 1.0, 0.01);
    EXPECT_EQ(testsupport::mainColour(decoded.front()), 0xff0000u);
    EXPECT_EQ(testsupport::mainColour(decoded[8]), 0x00ff00u);
    // The square last frame: scaled to the height, centred, black either side.
    EXPECT_EQ(testsupport::mainColour(decoded.back().copy(20, 4, 24, 24)), 0x0000ffu);
    EXPECT_EQ(testsupport::mainColour(decoded.back().copy(0, 0, 12, 32)), 0x000000u);
    if (format == video::Format::mp4) {
      QFile file(QString::fromStdString(made));
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      const QByteArray data = file.readAll();
      EXPECT_LT(data.indexOf("moov"), data.indexOf("mdat")) << "the index is at the front";
    }
  }
}

TEST(VideoMaker, CancelledPartWayLeavesNoFile) {
  QTemporaryDir frames, out;
  writeRun(frames, 30);
  std::atomic<bool> cancel{false};
  const video::Settings settings{frames.path().toStdString(), out.filePath("run.mp4").toStdString()};
  const video::Result result = video::makeVideo(
      settings, [&](const video::Progress&) { cancel = true; }, cancel);
  EXPECT_TRUE(result.cancelled);
  EXPECT_FALSE(result.complete);
  EXPECT_LT(result.frames, 30);
  EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(VideoMaker, MissingEncoderNamesItsPackage) {
  gst_init(nullptr, nullptr);
  GstPluginFeature* x264 = gst_registry_lookup_feature(gst_registry_get(), "x264enc");
  if (x264) {
    gst_registry_remove_feature(gst_registry_get(), x264);
    gst_object_unref(x264);
  }
  QTemporaryDir frames, out;
  writeRun(frames, 3);
  std::atomic<bool> cancel{false};
  const video::Result result =
      video::makeVideo({frames.path().toStdString(), out.filePath("run.mp4").toStdString()}, nullptr, cancel);
  EXPECT_FALSE(result.complete);
  EXPECT_NE(result.message.find("x264enc"), std::string::npos) << result.message;
  EXPECT_NE(result.message.find("gstreamer1.0-plugins-ugly"), std::string::npos) << result.message;
  EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(VideoDeflicker, CutsFlickerAndKeepsASlowRamp) {
  // A ramp from 60 to 177 over 40 frames, and the same ramp with an
  // exposure that jumps up or down 12 levels at random from frame to frame.
  uint32_t seed = 7;
  std::vector<double> ramp, flickered;
  for (int i = 0; i < 40; ++i) {
    seed = seed * 1103515245u + 12345u;
    ramp.push_back(60 + 3 * i);
    flickered.push_back(ramp.back() + ((seed >> 16) & 1 ? 12 : -12));
  }
  const auto evenOut = [](const std::vector<double>& levels) {
    video::Deflicker deflicker;
    std::vector<double> out;
    video::Picture picture;
    for (size_t i = 0; i <= levels.size(); ++i) {
      if (i < levels.size()) {
        const auto v = static_cast<uint32_t>(levels[i]);
        deflicker.push({4, 4, std::vector<uint32_t>(16, 0xff000000u | v << 16 | v << 8 | v), ""});
      } else {
        deflicker.finish();
      }
      while (deflicker.pop(picture)) out.push_back(video::Deflicker::brightness(picture));
    }
    return out;
  };
  // The frame-to-frame swing about the ramp.
  const auto swing = [&](const std::vector<double>& levels) {
    double sum = 0;
    for (size_t i = 1; i < levels.size(); ++i)
      sum += std::abs((levels[i] - ramp[i]) - (levels[i - 1] - ramp[i - 1]));
    return sum / static_cast<double>(levels.size() - 1);
  };
  const std::vector<double> evened = evenOut(flickered);
  ASSERT_EQ(evened.size(), ramp.size());
  EXPECT_LE(swing(evened) * 5, swing(flickered)) << swing(evened) << " from " << swing(flickered);
  const std::vector<double> kept = evenOut(ramp);
  for (size_t i = 0; i < ramp.size(); ++i) EXPECT_NEAR(kept[i], ramp[i], 0.51) << i;
}
