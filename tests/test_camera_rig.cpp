// The real program against real PipeWire cameras: a private PipeWire session
// with virtual cameras (raw YUY2 and MJPEG) on it, listed, previewed and
// saved by the main window as a user would; a camera node's controls reached
// through PipeWire.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <spa/param/props.h>

#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/gstcapture.h"
#include "platform/pipewirenode.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "settings/settings.h"
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
  // A control's value on the node now, as the daemon gives it.
  static std::optional<int64_t> NodeValue(const std::string& node, uint32_t id) {
    for (const auto& [key, v] : pipewirenode::describe(node).values)
      if (key == id) return v;
    return std::nullopt;
  }

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

// A camera node's controls, described and written through PipeWire: the
// ranges it gives, a manual exposure refused while automatic exposure is on
// and taken once a write switches it off first, values clamped by the node.
TEST_F(CameraRig, APipeWireCamerasControlsAreDescribedAndWritten) {
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0x808080));
  using Kind = pipewirenode::Property::Kind;
  constexpr uint32_t kAutoExposure = SPA_PROP_START_CUSTOM + V4L2_CID_EXPOSURE_AUTO;
  constexpr uint32_t kAutoWhiteBalance = SPA_PROP_START_CUSTOM + V4L2_CID_AUTO_WHITE_BALANCE;
  const pipewirenode::Description d = pipewirenode::describe("desk_cam");
  ASSERT_EQ(d.error, "");
  struct Expected {
    uint32_t id;
    Kind kind;
    int64_t minimum, maximum, defaultValue;
  };
  for (const Expected& e : {Expected{SPA_PROP_gain, Kind::Integer, 0, 255, 64},
                            Expected{SPA_PROP_exposure, Kind::Integer, 3, 2047, 250},
                            Expected{kAutoExposure, Kind::Choice, V4L2_EXPOSURE_MANUAL,
                                     V4L2_EXPOSURE_APERTURE_PRIORITY, V4L2_EXPOSURE_APERTURE_PRIORITY},
                            Expected{kAutoWhiteBalance, Kind::Boolean, 0, 1, 1}}) {
    SCOPED_TRACE(e.id);
    const auto p = std::find_if(d.properties.begin(), d.properties.end(),
                                [&](const pipewirenode::Property& q) { return q.id == e.id; });
    ASSERT_NE(p, d.properties.end());
    EXPECT_EQ(p->kind, e.kind);
    EXPECT_EQ(p->minimum, e.minimum);
    EXPECT_EQ(p->maximum, e.maximum);
    EXPECT_EQ(p->defaultValue, e.defaultValue);
  }
  const auto value = [](uint32_t id) { return NodeValue("desk_cam", id); };
  EXPECT_EQ(pipewirenode::write("desk_cam", {{SPA_PROP_exposure, 900}}), "");
  EXPECT_NE(value(SPA_PROP_exposure), 900) << "a manual exposure taken under automatic exposure";
  EXPECT_EQ(pipewirenode::write("desk_cam", {{kAutoExposure, V4L2_EXPOSURE_MANUAL},
                                             {SPA_PROP_exposure, 900},
                                             {SPA_PROP_gain, 400},
                                             {kAutoWhiteBalance, 0}}),
            "");
  EXPECT_EQ(value(kAutoExposure), V4L2_EXPOSURE_MANUAL);
  EXPECT_EQ(value(SPA_PROP_exposure), 900);
  EXPECT_EQ(value(SPA_PROP_gain), 255);
  EXPECT_EQ(value(kAutoWhiteBalance), 0);
  EXPECT_NE(pipewirenode::describe("no_such_cam").error, "");
}

// A run over a PipeWire camera with no V4L2 device: held and set as the user
// left it at Start, put back at the minute's reading after another program
// changed it, and again when the camera is unplugged and plugged back in and
// when PipeWire starts again.
TEST_F(CameraRig, APipeWireCamerasSettingsAreKeptThroughARun) {
  constexpr uint32_t kAutoExposure = SPA_PROP_START_CUSTOM + V4L2_CID_EXPOSURE_AUTO;
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0x808080));
  settings::saveCameraOptions({true, false});
  settings::saveCameraControls("node:desk_cam", {{"gain", 100}});
  int64_t later = 0;
  vba::setClock([&] {
    const QDateTime t = QDateTime::currentDateTime().addSecs(later);
    return vba::DateTime{t.date().year(), t.date().month(),  t.date().day(),
                         t.time().hour(), t.time().minute(), t.time().second()};
  });
  StartFirst();
  const auto kept = [&] {
    return waitFor(
        [&] {
          return NodeValue("desk_cam", SPA_PROP_gain) == 100 &&
                 NodeValue("desk_cam", kAutoExposure) == V4L2_EXPOSURE_MANUAL;
        },
        kLiveMs);
  };
  EXPECT_TRUE(kept()) << "not as set at Start";

  ASSERT_EQ(pipewirenode::write("desk_cam",
                                {{kAutoExposure, V4L2_EXPOSURE_APERTURE_PRIORITY}, {SPA_PROP_gain, 30}}),
            "");
  later = 61;
  ASSERT_TRUE(Tick());
  EXPECT_TRUE(kept()) << "another program's change not put back";

  ASSERT_TRUE(rig.Unplug("desk_cam"));
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLiveMs));
  EXPECT_FALSE(Tick());
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0x808080));
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs));
  EXPECT_TRUE(Tick());
  EXPECT_TRUE(kept()) << "not put back after the replug";

  rig.KillDaemon();
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, kLiveMs));
  EXPECT_FALSE(Tick());
  ASSERT_TRUE(rig.StartDaemon());
  ASSERT_TRUE(rig.Plug("desk_cam", "Desk Cam", 0x808080));
  ASSERT_TRUE(waitFor(modWebCam::previewIsLive, kLiveMs));
  EXPECT_TRUE(Tick());
  EXPECT_TRUE(kept()) << "not put back after PipeWire's restart";
  vba::setClock(nullptr);
}

}  // namespace
