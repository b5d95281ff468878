// Listing the capture sources and binding one to a preview window, over fake
// drivers and once over the built-in test pattern.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/user32.h"
#include "platform/vb.h"
#include "tests/fakes/FakeDriver.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::waitFor;

using fakes::FakeDriver;

// Format_RGB32 wants 0xFF in the unused byte: images compare and convert by it.
bool opaque(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qAlpha(image.pixel(x, y)) != 0xFF) return false;
    }
  }
  return true;
}

bool uniform(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != image.pixel(0, 0)) return false;
    }
  }
  return true;
}

std::vector<std::string> entries(const vb::ListBox& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.ListCount(); ++i) out.push_back(list.List(i));
  return out;
}

// A form with the list and the preview area where the main window has them;
// the preview area's size is given in twips.
class TestForm : public vb::Form {
 public:
  explicit TestForm(int areaWidth = 4800, int areaHeight = 3600)
      : vb::Form("Capture test", 8535, 5220), Picture1(*this, 3600, 1440, areaWidth, areaHeight, 1) {
    Show();
  }
  vb::ListBox List1{*this, 30, 1470, 3465, 1230, 0};
  vb::PictureBox Picture1;
};

class ModWebCamTest : public testing::Test {
 protected:
  void TearDown() override {
    modWebCam::StopPreview();
    gstcapture::uninstallDrivers();
  }
  QWidget* CaptureWidget() { return user32::fromHandle(modWebCam::capWindow)->widget(); }
  QImage surface() { return *user32::fromHandle(modWebCam::capWindow)->surface(); }
};

TEST_F(ModWebCamTest, FillSourceListListsDriversInOrderAsTheirBuffersRead) {
  const std::string e3 = "\xE2\x82\xAC";  // 3 bytes
  std::string euros;
  for (int i = 0; i < 40; ++i) euros += e3;
  struct Case {
    const char* what;
    std::vector<std::string> drivers;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"three in order", {"Cam A", "Cam B", "Test pattern"}, {"Cam A", "Cam B", "Test pattern"}},
      {"none", {}, {}},
      {"leading spaces dropped, trailing kept", {"  Cam  "}, {"Cam  "}},
      {"a shorter name after a longer one", {"A long camera name", "Cam"}, {"A long camera name", "Cam"}},
      {"a 120-byte UTF-8 name", {euros}, {euros.substr(0, 99)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::installFakeDrivers(c.drivers);
    TestForm form;
    form.List1.AddItem("left over");
    modWebCam::FillSourceList(form.List1);
    EXPECT_EQ(entries(form.List1), c.expected);
  }
}

TEST_F(ModWebCamTest, FillSourceListStopsAtTheFirstMissingIndex) {
  auto fake = std::make_shared<FakeDriver>("Second");
  avicap32::setDrivers({nullptr, fake});
  TestForm form;
  modWebCam::FillSourceList(form.List1);
  EXPECT_EQ(form.List1.ListCount(), 0);
}

TEST_F(ModWebCamTest, StartPreviewBindsTheChosenSourceToANamedChildWindow) {
  auto drivers = fakes::installFakeDrivers({"A", "B"});
  TestForm form;
  modWebCam::StartPreview(1, form.Picture1);
  ASSERT_TRUE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_EQ(modWebCam::capSource, 1);
  EXPECT_EQ(CaptureWidget()->objectName(), "1");
  EXPECT_EQ(CaptureWidget()->parentWidget(), form.Picture1.widget());
  EXPECT_TRUE(CaptureWidget()->isVisible());
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_TRUE(drivers[1]->connected);
  EXPECT_EQ(drivers[1]->lastWidth, 320);
  EXPECT_EQ(drivers[1]->lastHeight, 240);
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, 1000));
  avicap32::CAPSTATUS status;
  user32::SendMessageA(modWebCam::capWindow, avicap32::WM_CAP_GET_STATUS, sizeof status,
                       reinterpret_cast<LPARAM>(&status));
  EXPECT_EQ(status.fScale, TRUE);
  // The fake's colour, scaled over the whole window.
  EXPECT_EQ(surface().pixel(0, 0), 0xFF3080C0u);
  EXPECT_EQ(surface().pixel(319, 239), 0xFF3080C0u);
}

TEST_F(ModWebCamTest, CaptureWindowTakesThePreviewAreasSize) {
  struct Case {
    int twipsWidth, twipsHeight;
    QSize expected;
  };
  const Case cases[] = {{4800, 3600, {320, 240}}, {6000, 4500, {400, 300}}, {4815, 3585, {321, 239}}};
  fakes::installFakeDrivers({"A"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.twipsWidth);
    TestForm form(c.twipsWidth, c.twipsHeight);
    modWebCam::StartPreview(0, form.Picture1);
    EXPECT_EQ(CaptureWidget()->geometry(), QRect(QPoint(0, 0), c.expected));
    EXPECT_EQ(surface().size(), c.expected);
    modWebCam::StopPreview();
  }
}

TEST_F(ModWebCamTest, RefusedConnectDestroysTheNewWindow) {
  auto drivers = fakes::installFakeDrivers({"A"});
  drivers[0]->connectSucceeds = false;
  TestForm form;
  const int windows = user32::liveWindowCount();
  modWebCam::StartPreview(0, form.Picture1);
  EXPECT_NE(modWebCam::capWindow, nullptr);
  EXPECT_FALSE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_EQ(user32::liveWindowCount(), windows);
  EXPECT_TRUE(form.Picture1.widget()->findChildren<QWidget*>().isEmpty());
  EXPECT_FALSE(modWebCam::previewIsLive());
}

TEST_F(ModWebCamTest, StopThenStartBindsAgainWithANewWindow) {
  auto drivers = fakes::installFakeDrivers({"A"});
  TestForm form;
  const int windows = user32::liveWindowCount();
  modWebCam::StartPreview(0, form.Picture1);
  const HWND first = modWebCam::capWindow;
  modWebCam::StopPreview();
  EXPECT_FALSE(user32::IsWindow(first));
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_EQ(user32::liveWindowCount(), windows);
  modWebCam::StartPreview(0, form.Picture1);
  EXPECT_NE(modWebCam::capWindow, first);
  EXPECT_TRUE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_TRUE(drivers[0]->connected);
  EXPECT_EQ(drivers[0]->connects, 2);
  EXPECT_EQ(drivers[0]->disconnects, 1);
}

TEST_F(ModWebCamTest, StopPreviewWithNothingBoundHasNoEffect) {
  auto drivers = fakes::installFakeDrivers({"A"});
  TestForm form;
  const int windows = user32::liveWindowCount();
  modWebCam::StopPreview();  // whatever an earlier test left: a dead handle
  modWebCam::StartPreview(0, form.Picture1);
  modWebCam::StopPreview();
  modWebCam::StopPreview();
  EXPECT_EQ(drivers[0]->disconnects, 1);
  EXPECT_EQ(user32::liveWindowCount(), windows);
  EXPECT_TRUE(form.Picture1.widget()->isVisible());
}

// The real built-in source, end to end: a moving picture. (It takes a few
// milliseconds here; the budget is generous for a loaded machine.)
TEST_F(ModWebCamTest, TestPatternPaintsAMovingPictureUntilStopped) {
  gstcapture::installDrivers();
  TestForm form;
  modWebCam::FillSourceList(form.List1);
  const int last = form.List1.ListCount() - 1;
  ASSERT_GE(last, 0);
  ASSERT_EQ(form.List1.List(last), "Test pattern");
  const std::shared_ptr<avicap32::CaptureDriver> driver = avicap32::driverList()[static_cast<size_t>(last)];

  QDeadlineTimer budget(10000);
  modWebCam::StartPreview(last, form.Picture1);
  ASSERT_TRUE(user32::IsWindow(modWebCam::capWindow));
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, static_cast<int>(budget.remainingTime())));
  const QImage first = surface();
  EXPECT_FALSE(uniform(first));
  EXPECT_TRUE(opaque(first));
  EXPECT_TRUE(waitFor([&] { return surface() != first; }, static_cast<int>(budget.remainingTime())))
      << "the picture does not move";

  modWebCam::StopPreview();
  EXPECT_FALSE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_FALSE(driver->isLive());
  EXPECT_EQ(driver->latestFrame(), nullptr);
}

}  // namespace
