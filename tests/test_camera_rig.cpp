// The real program against real PipeWire cameras: a private PipeWire session
// with virtual cameras (raw YUY2 and MJPEG) on it, listed, previewed and
// saved by the main window as a user would.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/gstcapture.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "tests/fakes/PipeWireRig.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::mainColour;
using testsupport::waitFor;

// Ceilings for a loaded machine; a healthy run takes a fraction of them.
constexpr int kLiveMs = 20000;

class CameraRig : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.Ok()) << rig.Error();
    ASSERT_TRUE(dir.isValid());
    vba::setAppPath(dir.path().toStdString());
    vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  }
  void TearDown() override {
    if (form) form->Close();
    form.reset();
    gstcapture::uninstallDrivers();
    vba::setMsgBoxHandler(nullptr);
    vba::setAppPath("");
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (int i = 0; i < form->List1.ListCount(); ++i) out.push_back(form->List1.List(i));
    return out;
  }
  QStringList Frames() const {
    if (form) form->frameStore.waitIdle();
    return QDir(dir.path() + "/captured").entryList({"*.bmp"}, QDir::Files, QDir::Time | QDir::Reversed);
  }
  QImage NewestFrame() const {
    const QStringList frames = Frames();
    return frames.isEmpty() ? QImage() : QImage(dir.path() + "/captured/" + frames.back());
  }
  // Opens the window, starts the first entry and waits for it to be live;
  // the test ticks by hand.
  void StartFirst() {
    gstcapture::installDrivers();
    form = std::make_unique<frmMain>();
    form->Show();
    windows = user32::liveWindowCount();
    ASSERT_TRUE(testsupport::startTickingByHand(*form, kLiveMs));
  }
  bool Tick() { return testsupport::tickSaves(*form, dir.path() + "/captured"); }
  bool LostStatus() const { return form->lblStatus.Caption().rfind("Source lost since ", 0) == 0; }

  fakes::PipeWireRig rig;
  QTemporaryDir dir;
  std::unique_ptr<frmMain> form;
  int windows = 0;
};

TEST_F(CameraRig, RawAndMjpegCamerasAreListedPreviewedAndSaved) {
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0xFF0000));
  ASSERT_TRUE(rig.Plug("desk_cam_mjpeg", "Desk Cam", 0x0000FF, true));
  gstcapture::installDrivers();
  form = std::make_unique<frmMain>();
  form->Show();
  ASSERT_EQ(Entries(), (std::vector<std::string>{"Desk Cam", "Desk Cam (2)", "Test pattern"}));

  struct Case {
    int entry;
    uint32_t colour;
  };
  for (const Case& c : {Case{0, 0xFF0000}, Case{1, 0x0000FF}}) {
    SCOPED_TRACE(c.entry);
    form->List1.SetListIndex(c.entry);
    form->cmdStart.Click();
    ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs)) << "no live picture";
    const auto saved = Frames().size();
    ASSERT_TRUE(form->saveframe()) << form->lblStatus.Caption();
    ASSERT_EQ(Frames().size(), saved + 1);
    const QImage frame = NewestFrame();
    EXPECT_EQ(frame.size(), QSize(320, 240));
    EXPECT_EQ(mainColour(frame), c.colour) << "not the camera's picture";

    // At the camera's full size, as a JPEG, with the preview going on.
    form->mnuCaptureSizeFull.Click();
    form->mnuCaptureFormatJpeg.Click();
    ASSERT_TRUE(waitFor([] { return modWebCam::currentPicture().still != nullptr; }, kLiveMs));
    ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs));
    ASSERT_TRUE(form->saveframe()) << form->lblStatus.Caption();
    form->frameStore.waitIdle();
    const QImage full(dir.path() + "/captured/" +
                      QDir(dir.path() + "/captured").entryList({"*.jpg"}, QDir::Files, QDir::Time).value(0));
    EXPECT_EQ(full.size(), QSize(640, 480));
    EXPECT_EQ(mainColour(full), c.colour);
    form->mnuCaptureSizePreview.Click();
    form->mnuCaptureFormatBmp.Click();
    form->cmdStop.Click();
  }
}

// A PipeWire camera that stalls (its process stopped: no error, no end of
// stream), is killed (its node vanishes), while another camera appears, and
// is plugged in again under new ids with the same node name.
TEST_F(CameraRig, ALostPipeWireCameraIsReportedAndTakenBackByItsNodeName) {
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0xFF0000));
  StartFirst();
  ASSERT_TRUE(Tick());

  rig.Stall("desk_cam");
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLiveMs)) << "a stall went unnoticed";
  EXPECT_FALSE(Tick()) << "a frozen frame was saved";
  EXPECT_TRUE(LostStatus()) << form->lblStatus.Caption();
  rig.Resume("desk_cam");
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs)) << "not live again after the stall";
  EXPECT_TRUE(Tick());

  ASSERT_TRUE(rig.Unplug("desk_cam"));
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLiveMs));
  EXPECT_FALSE(Tick());
  EXPECT_TRUE(LostStatus()) << form->lblStatus.Caption();
  ASSERT_TRUE(rig.Plug("other_cam", "Other Cam", 0x00FF00));
  ASSERT_TRUE(waitFor([&] { return form->List1.ListCount() == 3; }, kLiveMs));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Desk Cam", "Other Cam", "Test pattern"}));
  waitFor([] { return false; }, 1500);  // retries come and go
  EXPECT_FALSE(modWebCam::previewIsLive()) << "another camera was taken for the lost one";

  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0xFF0000));
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs)) << "not taken back";
  EXPECT_TRUE(Tick());
  EXPECT_EQ(mainColour(NewestFrame()), 0xFF0000u);
  EXPECT_EQ(user32::liveWindowCount(), windows + 1);
}

// The PipeWire daemon killed under a running capture (a crash, an update)
// and started again, its session manager publishing the camera anew.
TEST_F(CameraRig, APipeWireRestartUnderARunningCaptureIsSurvived) {
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0xFF0000));
  StartFirst();
  ASSERT_TRUE(Tick());
  rig.KillDaemon();
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLiveMs));
  EXPECT_FALSE(Tick());
  EXPECT_TRUE(LostStatus()) << form->lblStatus.Caption();
  ASSERT_TRUE(rig.StartDaemon());
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0xFF0000));
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs)) << "not back after the restart";
  EXPECT_TRUE(Tick());
  EXPECT_EQ(mainColour(NewestFrame()), 0xFF0000u);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Desk Cam", "Test pattern"}));
  EXPECT_EQ(user32::liveWindowCount(), windows + 1);
}

}  // namespace
