// A camera lost in the middle of a run, through fake V4L2-like devices: it
// fails as an unplugged V4L2 device does, stalls without a word, ends its
// stream, just goes away or is away at Start; each time the window says so on
// every tick, saves nothing, and is live again by itself when the camera is
// back. A different camera that appears is listed, and never taken for the
// lost one; twins come back to their own entries; a camera that does not
// answer is reported and never piles up pipelines.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/gdi32.h"
#include "platform/gstcapture.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "tests/fakes/FakeCameras.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::mainColour;
using testsupport::waitFor;

// Generous ceilings for a loaded machine.
constexpr int kLostMs = 10000;
constexpr int kBackMs = 20000;

constexpr const char* kModes =
    "image/jpeg, width=1280, height=720, framerate=30/1; "
    "video/x-raw, format=YUY2, width=320, height=240, framerate={ 30/1, 15/1 }";

fakes::FakeCameraModel DeskCam(const std::string& path) {
  // Same camera, whichever device path it gets: the serial and the USB port.
  return {"Desk Cam",
          kModes,
          {{"device.path", path},
           {"device.serial", "Acme_Desk_Cam_0042"},
           {"device.bus_path", "pci-0000:00:14.0-usb-0:1:1.0"}},
          0xFF0000};
}

class CameraLoss : public testing::Test {
 protected:
  void SetUp() override {
    fakes::RegisterFakeCameraProvider();
    ASSERT_TRUE(dir.isValid());
    vba::setAppPath(dir.path().toStdString());
    vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
    vba::setClock([] { return vba::DateTime{2007, 3, 5, 8, 4, 9}; });
    camera = std::make_unique<fakes::FakeCamera>(DeskCam("/dev/video0"));
    camera->Plug();
    gstcapture::installDrivers();
    form = std::make_unique<frmMain>();
    form->Show();
    windows = user32::liveWindowCount();
    ASSERT_TRUE(testsupport::startTickingByHand(*form, kBackMs));
  }
  void TearDown() override {
    if (form) form->Close();
    form.reset();
    gstcapture::uninstallDrivers();
    vba::setClock(nullptr);
    vba::setMsgBoxHandler(nullptr);
    vba::setAppPath("");
  }
  QStringList Frames() const {
    if (form) form->frameStore.waitIdle();
    return QDir(dir.path() + "/captured").entryList({"*.bmp"}, QDir::Files);
  }
  QImage Preview() { return user32::fromHandle(modWebCam::capWindow)->surface()->copy(); }
  // One tick; whether it wrote a frame.
  bool Tick() { return testsupport::tickSaves(*form, dir.path() + "/captured"); }
  // Lost, told on every tick, nothing saved, never a frozen picture; then
  // back and saving the camera's picture, with one capture window.
  void LoseAndReturn(const std::function<void()>& lose, const std::function<void()>& back) {
    ASSERT_TRUE(Tick()) << form->lblStatus.Caption();
    lose();
    ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLostMs)) << "never found lost";
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(Tick()) << "a frame saved while the camera is lost";
      EXPECT_EQ(form->lblStatus.Caption(), "Source lost since 08:04:09, waiting for it to return.");
    }
    EXPECT_TRUE(waitFor([&] { return mainColour(Preview()) == 0x000000u; }, kLostMs))
        << "the preview must not freeze on the last picture";
    back();
    ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kBackMs)) << "never live again";
    EXPECT_TRUE(Tick());
    EXPECT_EQ(form->lblStatus.Caption(), "Time till next capture: 0 secs.");
    EXPECT_EQ(mainColour(QImage(dir.path() + "/captured/" + Frames().back())), 0xFF0000u);
    EXPECT_EQ(user32::liveWindowCount(), windows + 1) << "one capture window";
  }

  QTemporaryDir dir;
  std::unique_ptr<fakes::FakeCamera> camera;
  std::unique_ptr<frmMain> form;
  int windows = 0;
};

TEST_F(CameraLoss, EachWayOfLosingTheCameraHealsByItself) {
  struct Case {
    const char* what;
    std::function<void()> lose, back;
  };
  std::unique_ptr<fakes::FakeCamera> replugged;
  const Case cases[] = {
      {"a silent stall", [&] { camera->SetStalled(true); }, [&] { camera->SetStalled(false); }},
      // Stalled as well, or the retry that follows at once would find it back.
      {"end of stream",
       [&] {
         camera->EndStream();
         camera->SetStalled(true);
       },
       [&] { camera->SetStalled(false); }},
      {"V4L2's unplug errors, then back under a new device path",
       [&] {
         camera->Fail();
         camera->Unplug();
       },
       [&] {
         replugged = std::make_unique<fakes::FakeCamera>(DeskCam("/dev/video2"));
         replugged->Plug();
       }},
      {"unplugged while stopped, then Start on it",
       [&] {
         form->cmdStop.Click();
         replugged->Unplug();
         waitFor([] { return false; }, 500);  // the removal is delivered
         form->cmdStart.Click();
         form->tmrCapture.SetEnabled(false);
       },
       [&] { replugged->Plug(); }},
  };
  ASSERT_TRUE(Tick());  // Image1 holds a picture from now on
  const int objects = gdi32::liveObjectCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoseAndReturn(c.lose, c.back);
  }
  EXPECT_TRUE(waitFor([&] { return camera->LiveElements() == 0 && replugged->LiveElements() == 1; }, kLostMs))
      << "released elements must go";
  EXPECT_EQ(gdi32::liveObjectCount(), objects);
}

TEST_F(CameraLoss, AnotherCameraIsListedButNotTakenForTheLostOne) {
  camera->Unplug();
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLostMs));
  fakes::FakeCamera other(
      {"Other Cam", kModes, {{"device.path", "/dev/video0"}, {"device.serial", "Other_0001"}}, 0x00FF00});
  other.Plug();
  // Listed before the test pattern, the chosen entry kept.
  ASSERT_TRUE(waitFor([&] { return form->List1.ListCount() == 3; }, kBackMs));
  EXPECT_EQ(form->List1.List(1), "Other Cam");
  EXPECT_EQ(form->List1.List(2), "Test pattern");
  EXPECT_EQ(form->List1.ListIndex(), 0);
  waitFor([] { return false; }, 1500);  // retries come and go
  EXPECT_FALSE(modWebCam::previewIsLive());
  EXPECT_EQ(other.LiveElements(), 0) << "the other camera was taken for the lost one";

  auto back = std::make_unique<fakes::FakeCamera>(DeskCam("/dev/video3"));
  back->Plug();
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kBackMs));
  EXPECT_TRUE(Tick());

  // Stop ends the retrying.
  back->Unplug();
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLostMs));
  form->cmdStop.Click();
  fakes::FakeCamera again(DeskCam("/dev/video4"));
  again.Plug();
  waitFor([] { return false; }, 1500);
  EXPECT_EQ(again.LiveElements(), 0);
  EXPECT_EQ(user32::liveWindowCount(), windows);
}

TEST_F(CameraLoss, TwinsSharingASerialComeBackToTheirOwnEntriesInEitherOrder) {
  int path = 4;
  const auto twin = [&](const std::string& port, unsigned rgb) {
    return std::make_unique<fakes::FakeCamera>(
        fakes::FakeCameraModel{"Twin Cam",
                               kModes,
                               {{"device.path", "/dev/video" + std::to_string(path++)},
                                {"device.serial", "Acme_Twin_Cam"},
                                {"device.bus_path", port}},
                               rgb});
  };
  auto red = twin("usb-0:2:1.0", 0xFF0000);
  auto blue = twin("usb-0:3:1.0", 0x0000FF);
  red->Plug();
  blue->Plug();
  ASSERT_TRUE(waitFor([&] { return form->List1.ListCount() == 4; }, kBackMs));
  form->List1.SetListIndex(2);  // "Twin Cam (2)", the blue one
  ASSERT_TRUE(testsupport::startTickingByHand(*form, kBackMs));
  for (const bool blueFirst : {true, false}) {
    SCOPED_TRACE(blueFirst ? "blue first" : "red first");
    // A hub reset: both gone, back under new device paths.
    blue->Fail();
    red->Unplug();
    blue->Unplug();
    ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLostMs));
    red = twin("usb-0:2:1.0", 0xFF0000);
    blue = twin("usb-0:3:1.0", 0x0000FF);
    (blueFirst ? blue : red)->Plug();
    (blueFirst ? red : blue)->Plug();
    ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kBackMs));
    EXPECT_TRUE(Tick());
    EXPECT_EQ(mainColour(Preview()), 0x0000FFu);
    EXPECT_EQ(form->List1.ListCount(), 4) << "a twin was listed again";
  }
}

TEST_F(CameraLoss, ACameraThatDoesNotAnswerIsReportedAndNeverPilesUpPipelines) {
  camera->SetHung(true);  // from now on its state changes block
  camera->SetStalled(true);
  // A picture that came just before the stall is new and may still be saved.
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLostMs));
  const std::string hung = "Source lost since 08:04:09, it does not answer: replug it.";
  ASSERT_TRUE(waitFor(
      [&] {
        EXPECT_FALSE(Tick());
        return form->lblStatus.Caption() == hung;
      },
      kBackMs));
  waitFor([] { return false; }, 3000);  // retries come and go
  EXPECT_EQ(form->lblStatus.Caption(), hung);
  EXPECT_EQ(camera->LiveElements(), 1) << "a pipeline was started while the one before still stops";

  // Plugged in again: live, while the old pipeline still hangs.
  camera->Unplug();
  fakes::FakeCamera again(DeskCam("/dev/video1"));
  again.Plug();
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kBackMs));
  EXPECT_TRUE(Tick());

  // The program's end does not wait for it.
  form->Close();
  form.reset();
  gstcapture::uninstallDrivers();
  EXPECT_TRUE(camera->Blocked());
  camera->SetHung(false);
  EXPECT_TRUE(waitFor([&] { return camera->LiveElements() == 0 && again.LiveElements() == 0; }, kLostMs));
}

}  // namespace
