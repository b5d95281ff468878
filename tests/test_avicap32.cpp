// The capture driver query, the capture window and its messages over fake
// drivers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/avicap32.h"
#include "platform/user32.h"
#include "tests/fakes/FakeDriver.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::waitFor;

using avicap32::CAPSTATUS;
using fakes::FakeDriver;

// A shown top-level widget in the window table, to parent capture windows.
class Parent {
 public:
  Parent() : widget_(new QWidget) {
    widget_->resize(400, 300);
    widget_->show();
    hwnd_ = user32::registerWindow(&window_, false);
  }
  ~Parent() {
    user32::unregisterWindow(hwnd_);
    delete widget_;
  }
  HWND hWnd() const { return hwnd_; }
  QWidget* widget() const { return widget_; }

 private:
  struct Window : user32::Window {
    explicit Window(QWidget* widget) : w(widget) {}
    QWidget* widget() override { return w; }
    QWidget* w;
  };
  QWidget* widget_;
  Window window_{widget_};
  HWND hwnd_ = nullptr;
};

class CaptureWindowTest : public testing::Test {
 protected:
  void TearDown() override {
    if (user32::IsWindow(cap)) user32::DestroyWindow(cap);
    avicap32::resetDrivers();
  }
  HWND create(int w = 320, int h = 240, DWORD style = user32::WS_CHILD | user32::WS_VISIBLE) {
    cap = avicap32::capCreateCaptureWindowA("cam", style, 5, 7, w, h, parent.hWnd(), 0);
    return cap;
  }
  LRESULT send(UINT msg, WPARAM wParam) { return user32::SendMessageA(cap, msg, wParam, 0); }
  CAPSTATUS status() {
    CAPSTATUS s;
    EXPECT_EQ(user32::SendMessageA(cap, avicap32::WM_CAP_GET_STATUS, sizeof s, reinterpret_cast<LPARAM>(&s)),
              TRUE);
    return s;
  }
  // Connects driver 0 and previews it scaled at 10 ms.
  void StartPreview() {
    ASSERT_EQ(send(avicap32::WM_CAP_DRIVER_CONNECT, 0), TRUE);
    send(avicap32::WM_CAP_SET_SCALE, static_cast<WPARAM>(-1));
    send(avicap32::WM_CAP_SET_PREVIEWRATE, 10);
    send(avicap32::WM_CAP_SET_PREVIEW, static_cast<WPARAM>(-1));
  }
  QImage& surface() { return *user32::fromHandle(cap)->surface(); }

  Parent parent;
  HWND cap = nullptr;
};

// ---- capGetDriverDescriptionA

TEST(DriverDescription, CutsLongTextsAtCharacterBoundariesAndLeavesTheRestOfTheBuffer) {
  const std::string e2 = "\xC3\xA9";          // 2 bytes
  const std::string e3 = "\xE2\x82\xAC";      // 3 bytes
  const std::string e4 = "\xF0\x9F\x93\xB7";  // 4 bytes
  auto repeat = [](const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
  };
  struct Case {
    const char* what;
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"short", "Cam", "Cam"},
      {"exactly 99 bytes", std::string(99, 'a'), std::string(99, 'a')},
      {"ASCII over 99 bytes", std::string(120, 'a'), std::string(99, 'a')},
      {"2-byte characters, boundary at 98", repeat(e2, 60), repeat(e2, 49)},
      {"3-byte characters ending at 99", repeat(e3, 40), repeat(e3, 33)},
      {"3-byte character across 99", "a" + repeat(e3, 40), "a" + repeat(e3, 32)},
      {"4-byte characters, boundary at 96", repeat(e4, 30), repeat(e4, 24)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto drivers = fakes::installFakeDrivers({c.name});
    char name[100];
    char ver[100];
    std::memset(name, '#', sizeof name);
    std::memset(ver, '#', sizeof ver);
    ASSERT_EQ(avicap32::capGetDriverDescriptionA(0, name, 100, ver, 100), TRUE);
    EXPECT_EQ(std::string(name), c.expected);
    EXPECT_EQ(std::string(ver), "1.0");
    // Only the text and its NUL are written.
    for (size_t i = c.expected.size() + 1; i < sizeof name; ++i) ASSERT_EQ(name[i], '#') << i;
    EXPECT_EQ(ver[4], '#');
  }
  avicap32::resetDrivers();
}

TEST(DriverDescription, FalseAndBuffersUntouchedWithoutADriverAtTheIndex) {
  fakes::installFakeDrivers({"A", "B"});
  char name[8] = "xxxxxxx";
  char ver[8] = "yyyyyyy";
  EXPECT_EQ(avicap32::capGetDriverDescriptionA(1, name, 8, ver, 8), TRUE);
  EXPECT_STREQ(name, "B");
  std::strcpy(name, "xxxxxxx");
  EXPECT_EQ(avicap32::capGetDriverDescriptionA(2, name, 8, ver, 8), FALSE);
  EXPECT_STREQ(name, "xxxxxxx");
  avicap32::resetDrivers();
}

// ---- The capture window

TEST_F(CaptureWindowTest, IsAChildOfTheParentAtItsPlaceNamedAndVisibleByStyle) {
  create(200, 100);
  ASSERT_TRUE(user32::IsWindow(cap));
  QWidget* w = user32::fromHandle(cap)->widget();
  EXPECT_EQ(w->parentWidget(), parent.widget());
  EXPECT_EQ(w->geometry(), QRect(5, 7, 200, 100));
  EXPECT_EQ(w->objectName(), "cam");
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(surface().size(), QSize(200, 100));
  EXPECT_EQ(surface().format(), QImage::Format_RGB32);
  EXPECT_EQ(surface().pixel(0, 0), 0xFF000000u);

  HWND hidden = avicap32::capCreateCaptureWindowA("h", user32::WS_CHILD, 0, 0, 10, 10, parent.hWnd(), 0);
  EXPECT_FALSE(user32::fromHandle(hidden)->widget()->isVisible());
  user32::DestroyWindow(hidden);
}

TEST_F(CaptureWindowTest, SurfaceFollowsTheWindowSize) {
  create();
  user32::SetWindowPos(cap, user32::HWND_BOTTOM, 0, 0, 480, 360, user32::SWP_NOMOVE | user32::SWP_NOZORDER);
  EXPECT_EQ(surface().size(), QSize(480, 360));
}

TEST_F(CaptureWindowTest, ConnectAsksForTheWindowSizeAndRefusesBadIndexOrDriver) {
  auto drivers = fakes::installFakeDrivers({"A", "B"});
  drivers[1]->connectSucceeds = false;
  create(160, 120);
  EXPECT_EQ(send(avicap32::WM_CAP_DRIVER_CONNECT, 2), FALSE);
  EXPECT_EQ(send(avicap32::WM_CAP_DRIVER_CONNECT, 1), FALSE);
  EXPECT_FALSE(drivers[1]->connected);
  EXPECT_EQ(send(avicap32::WM_CAP_DRIVER_CONNECT, 0), TRUE);
  EXPECT_EQ(drivers[0]->lastWidth, 160);
  EXPECT_EQ(drivers[0]->lastHeight, 120);
  EXPECT_EQ(drivers[0]->lastFps, 15);
  EXPECT_EQ(send(avicap32::WM_CAP_DRIVER_DISCONNECT, 0), TRUE);
  EXPECT_EQ(drivers[0]->disconnects, 1);
}

TEST_F(CaptureWindowTest, PreviewPaintsFramesScaledOrAtTheTopLeft) {
  auto drivers = fakes::installFakeDrivers({"A"});
  // A 2 x 2 frame: red, green on top; blue, white below.
  auto frame = std::make_shared<avicap32::VideoFrame>();
  frame->width = 2;
  frame->height = 2;
  frame->bgrx = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 255, 255, 255, 255};
  drivers[0]->frame = frame;
  create(40, 20);
  StartPreview();
  ASSERT_TRUE(waitFor([&] { return status().dwCurrentVideoFrame >= 1; }, 1000));
  // Scaled to fit, keeping its shape: a 20 x 20 square amid black bars.
  EXPECT_EQ(surface().pixel(15, 5), 0xFFFF0000u);
  EXPECT_EQ(surface().pixel(25, 5), 0xFF00FF00u);
  EXPECT_EQ(surface().pixel(15, 15), 0xFF0000FFu);
  EXPECT_EQ(surface().pixel(25, 15), 0xFFFFFFFFu);
  EXPECT_EQ(surface().pixel(5, 5), 0xFF000000u);
  EXPECT_EQ(surface().pixel(35, 15), 0xFF000000u);
  CAPSTATUS s = status();
  EXPECT_EQ(s.fScale, TRUE);
  EXPECT_EQ(s.fLiveWindow, TRUE);
  EXPECT_EQ(s.uiImageWidth, 2u);
  EXPECT_EQ(s.uiImageHeight, 2u);

  // Unscaled: the frame at the top-left corner, black beyond it.
  send(avicap32::WM_CAP_SET_SCALE, 0);
  drivers[0]->frame = fakes::FakeDriver::solidFrame(4, 4, 0x00FF00);
  ASSERT_TRUE(waitFor([&] { return status().dwCurrentVideoFrame >= 2; }, 1000));
  EXPECT_EQ(surface().pixel(3, 3), 0xFF00FF00u);
  EXPECT_EQ(surface().pixel(4, 4), 0xFF000000u);
  EXPECT_EQ(status().fScale, FALSE);
}

TEST_F(CaptureWindowTest, CountsOnlyNewFramesAndIsNotLiveBeforeTheFirst) {
  auto drivers = fakes::installFakeDrivers({"A"});
  drivers[0]->frame = nullptr;
  drivers[0]->freshFrames = false;
  create();
  StartPreview();
  waitFor([] { return false; }, 50);
  EXPECT_EQ(status().fLiveWindow, FALSE);
  drivers[0]->frame = fakes::FakeDriver::solidFrame(8, 8, 0x112233);
  ASSERT_TRUE(waitFor([&] { return status().fLiveWindow == TRUE; }, 1000));
  waitFor([] { return false; }, 50);
  EXPECT_EQ(status().dwCurrentVideoFrame, 1u) << "the same frame is painted once";
}

TEST_F(CaptureWindowTest, StatusNeedsARecordLargeEnough) {
  create();
  CAPSTATUS s;
  s.dwCurrentVideoFrame = 77;
  EXPECT_EQ(
      user32::SendMessageA(cap, avicap32::WM_CAP_GET_STATUS, sizeof s - 1, reinterpret_cast<LPARAM>(&s)),
      FALSE);
  EXPECT_EQ(s.dwCurrentVideoFrame, 77u);
  EXPECT_EQ(user32::SendMessageA(cap, avicap32::WM_CAP_GET_STATUS, sizeof s, 0), FALSE);
}

TEST_F(CaptureWindowTest, LostSourceGoesDarkAndStopsBeingLive) {
  auto drivers = fakes::installFakeDrivers({"A"});
  drivers[0]->frame = fakes::FakeDriver::solidFrame(320, 240, 0xFFFFFF);
  create();
  StartPreview();
  ASSERT_TRUE(waitFor([&] { return status().fLiveWindow == TRUE; }, 1000));
  drivers[0]->live = false;
  // The dead driver still hands out (new) frames: none of them may show.
  drivers[0]->frame = fakes::FakeDriver::solidFrame(320, 240, 0x00FF00);
  EXPECT_EQ(status().fLiveWindow, FALSE);
  const DWORD painted = status().dwCurrentVideoFrame;
  // The next preview period shows the loss; on a loaded machine it may come late.
  EXPECT_TRUE(waitFor([&] { return surface().pixel(160, 120) == 0xFF000000u; }, 2000));
  EXPECT_EQ(status().dwCurrentVideoFrame, painted);
  EXPECT_TRUE(user32::IsWindow(cap));
}

TEST_F(CaptureWindowTest, DestroyingTheWindowReleasesTheDriver) {
  auto drivers = fakes::installFakeDrivers({"A"});
  const int windows = user32::liveWindowCount();
  create();
  StartPreview();
  EXPECT_EQ(user32::liveWindowCount(), windows + 1);
  EXPECT_EQ(user32::DestroyWindow(cap), TRUE);
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_EQ(user32::liveWindowCount(), windows);

  // Also when Qt destroys it with its parent.
  auto owner = std::make_unique<Parent>();
  HWND other = avicap32::capCreateCaptureWindowA("x", user32::WS_CHILD, 0, 0, 10, 10, owner->hWnd(), 0);
  ASSERT_EQ(user32::SendMessageA(other, avicap32::WM_CAP_DRIVER_CONNECT, 0, 0), TRUE);
  owner.reset();
  EXPECT_FALSE(user32::IsWindow(other));
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_EQ(drivers[0]->disconnects, 2);
}

}  // namespace
