// The GStreamer drivers: the camera mode choice over caps lists, pipelines
// that fail, and cameras listed, chosen, decoded and previewed through fake
// V4L2-like devices registered with GStreamer's device provider API.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/gstmode.h"
#include "platform/gstsession.h"
#include "platform/user32.h"
#include "platform/vb.h"
#include "tests/fakes/FakeCameras.h"
#include "tests/fakes/LaunchDriver.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::mainColour;
using testsupport::waitFor;

// Caps text as GStreamer writes it, for comparing; "" for none.
std::string Canonical(GstCaps* caps) {
  if (!caps) return "";
  gchar* s = gst_caps_to_string(caps);
  std::string out = s;
  g_free(s);
  gst_caps_unref(caps);
  return out;
}
std::string Canonical(const std::string& caps) {
  gst_init(nullptr, nullptr);
  return Canonical(gst_caps_from_string(caps.c_str()));
}

// The mode picked among caps given as text, as text; "" for none.
std::string Picked(const std::string& deviceCaps, int width, int height, int fps, bool fullSize) {
  gst_init(nullptr, nullptr);
  GstCaps* all = gst_caps_from_string(deviceCaps.c_str());
  std::string picked = Canonical(gstcapture::pickCaps(all, width, height, fps, fullSize));
  if (all) gst_caps_unref(all);
  return picked;
}

// Whether caps have at least the fields of pattern, with its values.
bool Within(const std::string& caps, const std::string& pattern) {
  GstCaps* a = gst_caps_from_string(caps.c_str());
  GstCaps* b = gst_caps_from_string(pattern.c_str());
  const bool within = a && b && !gst_caps_is_empty(a) && gst_caps_is_subset(a, b);
  if (a) gst_caps_unref(a);
  if (b) gst_caps_unref(b);
  return within;
}

// Waits for a frame newer than `after` from a connected driver.
std::shared_ptr<const avicap32::VideoFrame> NextFrame(
    avicap32::CaptureDriver& driver, const std::shared_ptr<const avicap32::VideoFrame>& after = {}) {
  std::shared_ptr<const avicap32::VideoFrame> frame;
  waitFor(
      [&] {
        frame = driver.latestFrame();
        return frame && frame != after;
      },
      10000);
  return frame != after ? frame : nullptr;
}

QImage ToImage(const avicap32::VideoFrame& f) {
  return QImage(f.pixels(), f.width, f.height, f.width * 4, QImage::Format_RGB32).copy();
}

// A V4L2 webcam's list: MJPEG for the large modes, YUY2 for the small ones.
constexpr const char* kWebcam =
    "image/jpeg, width=1920, height=1080, framerate=30/1; "
    "image/jpeg, width=1280, height=720, framerate={ 30/1, 15/1 }; "
    "video/x-raw, format=YUY2, width=640, height=480, framerate={ 30/1, 15/1, 15/2 }; "
    "video/x-raw, format=YUY2, width=320, height=240, framerate=[ 5/1, 30/1 ]; "
    "video/x-raw(memory:DMABuf), format=NV12, width=320, height=240, framerate=15/1";

TEST(ModeChoice, TheCheapestModeThatCoversThePreview) {
  struct Case {
    const char* what;
    std::string caps;
    int width, height, fps;
    std::string expected;  // "" for none
  };
  const Case cases[] = {
      {"webcam, small preview: the small raw mode, rate taken from its range", kWebcam, 320, 240, 15,
       "video/x-raw, format=YUY2, width=320, height=240, framerate=15/1"},
      {"webcam, VGA preview: the raw mode at the lowest listed rate reaching 15", kWebcam, 640, 480, 15,
       "video/x-raw, format=YUY2, width=640, height=480, framerate=15/1"},
      {"webcam, 720p preview: MJPEG, the only mode that covers it, at 15", kWebcam, 1280, 720, 15,
       "image/jpeg, width=1280, height=720, framerate=15/1"},
      {"larger than any mode: the largest", kWebcam, 3840, 2160, 15,
       "image/jpeg, width=1920, height=1080, framerate=30/1"},
      {"odd rates: 15/2 when nothing faster",
       "video/x-raw, format=YUY2, width=640, height=480, framerate={ 15/2, 5/1 }", 320, 240, 15,
       "video/x-raw, format=YUY2, width=640, height=480, framerate=15/2"},
      {"NTSC rates reach 15",
       "video/x-raw, format=NV12, width=640, height=480, framerate={ 30000/1001, 15000/1001 }", 320, 240, 15,
       "video/x-raw, format=NV12, width=640, height=480, framerate=30000/1001"},
      {"raw before MJPEG of the same mode",
       "image/jpeg, width=640, height=480, framerate=30/1; video/x-raw, format=YUY2, width=640, height=480, "
       "framerate=30/1",
       320, 240, 15, "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1"},
      {"size ranges: the preview's own size",
       "video/x-raw, format=I420, width=[ 160, 1920 ], height=[ 120, 1080 ], framerate=[ 1/1, 60/1 ]", 320,
       240, 15, "video/x-raw, format=I420, width=320, height=240, framerate=15/1"},
      {"a list of formats: the first",
       "video/x-raw, format={ NV12, YUY2 }, width=640, height=480, framerate=30/1", 320, 240, 15,
       "video/x-raw, format=NV12, width=640, height=480, framerate=30/1"},
      {"only a non-system-memory mode: none",
       "video/x-raw(memory:DMABuf), format=NV12, width=640, height=480, framerate=30/1", 320, 240, 15, ""},
      {"neither raw nor MJPEG: none", "video/x-h264, width=640, height=480, framerate=30/1", 320, 240, 15,
       ""},
      {"nothing", "EMPTY", 320, 240, 15, ""},
      {"covering the size before reaching the rate",
       "video/x-raw, format=YUY2, width=320, height=200, framerate=30/1; video/x-raw, format=YUY2, "
       "width=640, "
       "height=480, framerate=10/1",
       320, 240, 15, "video/x-raw, format=YUY2, width=640, height=480, framerate=10/1"},
      {"reaching the rate before raw",
       "video/x-raw, format=YUY2, width=640, height=480, framerate=5/1; image/jpeg, width=640, height=480, "
       "framerate=30/1",
       320, 240, 15, "image/jpeg, width=640, height=480, framerate=30/1"},
      {"a 4:3 mode that covers the preview before a smaller wide one",
       "video/x-raw, format=YUY2, width=640, height=360, framerate=30/1; video/x-raw, format=YUY2, "
       "width=640, height=480, framerate=30/1",
       320, 240, 15, "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1"},
      // Size 0 x 0: the mode for full-size stills beside the preview.
      {"full size, webcam: the largest", kWebcam, 0, 0, 15,
       "image/jpeg, width=1920, height=1080, framerate=30/1"},
      {"full size: the largest at 5 frames a second or more",
       "video/x-raw, format=YUY2, width=1920, height=1080, framerate=2/1; video/x-raw, format=YUY2, "
       "width=1280, height=720, framerate={ 10/1, 5/1 }",
       0, 0, 15, "video/x-raw, format=YUY2, width=1280, height=720, framerate=10/1"},
      {"full size: MJPEG before raw above 640 x 480, at the lowest rate reaching the preview's",
       "video/x-raw, format=YUY2, width=1280, height=720, framerate=30/1; image/jpeg, width=1280, "
       "height=720, framerate={ 60/1, 30/1, 15/1 }",
       0, 0, 15, "image/jpeg, width=1280, height=720, framerate=15/1"},
      {"full size: raw before MJPEG at 640 x 480",
       "image/jpeg, width=640, height=480, framerate=30/1; video/x-raw, format=YUY2, width=640, "
       "height=480, framerate=30/1",
       0, 0, 15, "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Picked(c.caps, c.width, c.height, c.fps, c.width == 0),
              c.expected.empty() ? "" : Canonical(c.expected));
  }
}

TEST(GstDriver, PipelinesThatCannotRunAreNeverLive) {
  struct Case {
    const char* what;
    const char* launch;
    bool connects;  // whether Connect can tell at once
  };
  const Case cases[] = {
      {"missing element", "videotestsrc ! nosuchelement ! appsink name=sink", false},
      {"no sink named sink", "videotestsrc is-live=true ! fakesink", false},
      {"elements that cannot link",
       "videotestsrc is-live=true ! video/x-raw,format=I420 ! "
       "appsink name=sink caps=video/x-raw,format=BGRx",
       false},
      {"a source that cannot start", "v4l2src device=/nonexistent/video0 ! appsink name=sink", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = fakes::makeLaunchDriver(c.launch, "bad");
    EXPECT_EQ(driver->connect(320, 240, 15), c.connects);
    EXPECT_TRUE(waitFor([&] { return !driver->isLive(); }, 10000));
    EXPECT_EQ(driver->latestFrame(), nullptr);
    driver->disconnect();
  }
}

// A source that ends, by the end of its stream or by an error in the
// pipeline, delivers its first frames and is then no longer live. The error
// comes from a second branch, so it arrives alone: an error inside the frames'
// own branch is followed by the end of the stream.
TEST(GstDriver, EndOfStreamOrAnErrorIsNoLongerLive) {
  struct Case {
    const char* what;
    const char* source;
  };
  const Case cases[] = {
      {"end of stream", "videotestsrc is-live=true num-buffers=3 ! "},
      {"error",
       "videotestsrc is-live=true ! video/x-raw,framerate=30/1 ! identity error-after=30 ! fakesink "
       "videotestsrc is-live=true ! "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = fakes::makeLaunchDriver(
        std::string(c.source) +
            "video/x-raw,format=BGRx,width=64,height=48,framerate=30/1 ! appsink name=sink",
        "short");
    ASSERT_TRUE(driver->connect(64, 48, 15));
    auto frame = NextFrame(*driver);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 64);
    EXPECT_EQ(frame->height, 48);
    EXPECT_EQ(frame->bytes(), 64u * 48u * 4u);
    EXPECT_TRUE(waitFor([&] { return !driver->isLive(); }, 5000));
    driver->disconnect();
  }
}

// The camera chain's own scaling and conversion, fed a 1280 x 720 source.
TEST(GstDriver, CameraChainScalesDownToOpaqueBgrx) {
  auto driver = fakes::makeLaunchDriver(
      "videotestsrc is-live=true ! video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1 ! " +
          gstcapture::cameraChain(320, 240, 15),
      "camera-like");
  ASSERT_TRUE(driver->connect(320, 240, 15));
  auto frame = NextFrame(*driver);
  ASSERT_NE(frame, nullptr);
  EXPECT_LE(frame->width, 320);
  EXPECT_LE(frame->height, 240);
  EXPECT_GE(frame->width, 300);
  EXPECT_EQ(frame->width * 9, frame->height * 16) << "square pixels: the picture keeps its shape";
  ASSERT_EQ(frame->bytes(), static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height) * 4);
  for (size_t i = 3; i < frame->bytes(); i += 4) ASSERT_EQ(frame->pixels()[i], 0xFF) << i;
  EXPECT_TRUE(driver->isLive());
  driver->disconnect();
  EXPECT_FALSE(driver->isLive());
}

// Full size, the test pattern keeps its 1280 x 720 picture beside the
// preview's 320 x 240, converted when asked.
TEST(GstDriver, TheTestPatternsFullSizeIs1280By720) {
  auto driver = gstcapture::makeTestPattern();
  driver->setFullSize(true);
  ASSERT_TRUE(driver->connect(320, 240, 15));
  ASSERT_TRUE(waitFor([&] { return driver->latestStill() != nullptr; }, 5000));
  const auto frame = driver->latestStill()->bgrx();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(std::pair(frame->width, frame->height), std::pair(1280, 720));
  EXPECT_EQ(NextFrame(*driver)->width, 320);
  driver->disconnect();
}

// ---- Cameras through the device monitor, fake V4L2-like devices behind it.

class FakeCameraTest : public testing::Test {
 protected:
  void SetUp() override { fakes::RegisterFakeCameraProvider(); }
  void TearDown() override {
    modWebCam::StopPreview();
    gstcapture::uninstallDrivers();
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (const auto& d : avicap32::driverList()) out.push_back(d->description());
    return out;
  }
  static fakes::FakeCameraModel Model(const std::string& name, const std::string& caps,
                                      const std::string& path, unsigned rgb) {
    return {name, caps, {{"device.path", path}, {"device.serial", "usb-" + path}}, rgb};
  }
};

TEST_F(FakeCameraTest, CamerasAreListedInDeviceOrderAndToldApartBeforeTheTestPattern) {
  fakes::FakeCamera b(Model("USB Camera", kWebcam, "/dev/video10", 0xFF0000));
  fakes::FakeCamera a(Model("USB Camera", kWebcam, "/dev/video2", 0x00FF00));
  fakes::FakeCamera c(Model("Built-in", kWebcam, "/dev/video0", 0x0000FF));
  a.Plug();
  b.Plug();
  c.Plug();
  gstcapture::installDrivers();
  EXPECT_EQ(Names(), (std::vector<std::string>{"Built-in", "USB Camera", "USB Camera (2)", "Test pattern"}));
}

TEST_F(FakeCameraTest, EachCameraPreviewsItsPictureThroughItsCheapestMode) {
  struct Case {
    const char* what;
    std::string caps;
    unsigned rgb;
    std::string negotiated;  // at the camera's element
    int height;              // of the preview's frames, 320 wide
  };
  const Case cases[] = {
      {"raw webcam", kWebcam, 0xFF0000, "video/x-raw, format=YUY2, width=320, height=240, framerate=15/1",
       240},
      {"MJPEG-only wide camera, decoded, in its own shape",
       "image/jpeg, width=1920, height=1080, framerate=30/1; image/jpeg, width=1280, height=720, "
       "framerate=30/1",
       0x0000FF, "image/jpeg, width=1280, height=720, framerate=30/1", 180},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::FakeCamera camera(Model(c.what, c.caps, "/dev/video0", c.rgb));
    camera.Plug();
    gstcapture::installDrivers();
    ASSERT_EQ(Names().size(), 2u);
    auto driver = avicap32::driverList()[0];
    ASSERT_TRUE(driver->connect(320, 240, 15));
    auto frame = NextFrame(*driver);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 320);
    EXPECT_EQ(frame->height, c.height);
    EXPECT_EQ(mainColour(ToImage(*frame)), c.rgb);
    EXPECT_TRUE(Within(camera.NegotiatedCaps(), c.negotiated)) << camera.NegotiatedCaps();
    driver->disconnect();
    EXPECT_TRUE(waitFor([&] { return camera.LiveElements() == 0; }, 10000)) << "the element is released";
    gstcapture::uninstallDrivers();
  }
}

}  // namespace
