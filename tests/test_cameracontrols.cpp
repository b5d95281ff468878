// Camera controls over a fake V4L2 device that answers as drivers do, and
// the run's keeping of them.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QSlider>
#include <QTimer>

#include "camera/cameracontrols.h"
#include "camera/camerakeeper.h"
#include "camera/camerasettingsdialog.h"
#include "tests/fakes/FakeV4l2Device.h"

namespace {

constexpr const char* kPath = "/dev/video7";

class CameraControls : public ::testing::Test {
 protected:
  void SetUp() override { v4l2device::setSystem(device); }
  void TearDown() override { v4l2device::setSystem(nullptr); }
  std::shared_ptr<fakes::FakeV4l2Device> device =
      std::make_shared<fakes::FakeV4l2Device>(fakes::FakeV4l2Device::webcam(kPath));
};

// Listed in one order whatever the driver enumerates them in: each automatic
// mode before the manual control it governs.
TEST_F(CameraControls, ListsTheControlsWithTheirRangesByV4l2Names) {
  const camera::Listing listing = camera::listControls(kPath);
  ASSERT_TRUE(listing.error.empty()) << listing.error;
  std::vector<std::string> lines;
  for (const camera::Control& c : listing.controls) lines.push_back(camera::describe(c));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "auto_exposure (menu): 1=Manual Mode; 3=Aperture Priority Mode default=3 value=3",
                       "exposure_time_absolute (int): min=3 max=2047 step=1 default=250 value=312",
                       "gain (int): min=0 max=255 step=1 default=32 value=57",
                       "white_balance_automatic (bool): default=1 value=1",
                       "white_balance_temperature (int): min=2800 max=6500 step=10 default=4600 value=5130",
                       "brightness (int): min=-64 max=64 step=1 default=0 value=0",
                       "power_line_frequency (menu): 0=Disabled; 1=50 Hz; 2=60 Hz default=1 value=1",
                   }));
  // The system's words for the error, in the user's language.
  EXPECT_EQ(camera::listControls("/dev/video9").error,
            std::string("cannot open /dev/video9: ") + std::strerror(ENOENT));
}

TEST_F(CameraControls, WritesManualValuesAfterTheirAutomaticModeAndReportsWhatTheDriverDid) {
  struct Case {
    camera::Values asked;
    std::vector<std::pair<uint32_t, int64_t>> writes;
    std::vector<std::string> problems;  // per outcome
  };
  const Case cases[] = {
      // Automatic exposure off first, though asked for after.
      {{{"exposure_time_absolute", 100}, {"auto_exposure", 1}},
       {{V4L2_CID_EXPOSURE_AUTO, 1}, {V4L2_CID_EXPOSURE_ABSOLUTE, 100}},
       {"", ""}},
      // Switched off when not asked for at all.
      {{{"white_balance_temperature", 5003}},
       {{V4L2_CID_AUTO_WHITE_BALANCE, 0}, {V4L2_CID_WHITE_BALANCE_TEMPERATURE, 5000}},
       {"", "set to 5000 by the camera"}},
      // Automatic asked for: the manual value is left alone.
      {{{"auto_exposure", 3}, {"exposure_time_absolute", 100}},
       {{V4L2_CID_EXPOSURE_AUTO, 3}},
       {"", "left to the automatic mode"}},
      {{{"gain", 300}, {"power_line_frequency", 7}, {"focus_absolute", 5}},
       {{V4L2_CID_GAIN, 255}},
       {"set to 255 by the camera", std::string("refused (") + std::strerror(EINVAL) + ")",
        "not offered by the camera"}},
  };
  for (const Case& c : cases) {
    *device = fakes::FakeV4l2Device::webcam(kPath);
    const std::vector<camera::Outcome> outcomes = camera::applyValues(kPath, c.asked);
    EXPECT_EQ(device->writes, c.writes) << c.asked.front().first;
    std::vector<std::string> problems;
    for (const camera::Outcome& o : outcomes) problems.push_back(o.problem);
    EXPECT_EQ(problems, c.problems) << c.asked.front().first;
  }
  device->plugged = false;
  const std::vector<camera::Outcome> gone = camera::applyValues(kPath, {{"gain", 3}});
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_FALSE(gone[0].problem.empty());
}

TEST_F(CameraControls, HoldingSwitchesAutomaticModesOffFirstAndKeepsTheSettledValues) {
  camera::holdPicture(kPath);
  EXPECT_EQ(device->writes,
            (std::vector<std::pair<uint32_t, int64_t>>{{V4L2_CID_EXPOSURE_AUTO, 1},
                                                       {V4L2_CID_EXPOSURE_ABSOLUTE, 312},
                                                       {V4L2_CID_AUTO_WHITE_BALANCE, 0},
                                                       {V4L2_CID_WHITE_BALANCE_TEMPERATURE, 5130}}));
}

// The run's camera: settings put back after a replug, another program's
// change restored within a minute.
TEST_F(CameraControls, TheRunKeepsTheCameraAsSet) {
  settings::saveCameraControls("serial:A1", {{"brightness", 20}});
  camera::Keeper keeper([](const std::string& identity) { return identity == "serial:A1" ? kPath : ""; });
  keeper.setOptions({true, false});
  keeper.setCommandLine({{"gain", 90}});
  run::State state;
  state.source = "serial:A1";
  using Kind = run::Event::Kind;
  const auto event = [](Kind kind, run::Instant at) {
    run::Event e{kind, at, {}, 0, 0};
    return e;
  };
  keeper.onEvent(event(Kind::Started, 0), state);
  keeper.onEvent(event(Kind::SourceTaken, 0), state);
  const camera::Values held = {
      {"auto_exposure", 1}, {"white_balance_automatic", 0},  {"brightness", 20},
      {"gain", 90},         {"exposure_time_absolute", 312}, {"white_balance_temperature", 5130}};
  const auto sorted = [](camera::Values v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(keeper.inForce()), sorted(held));

  device->replug();
  keeper.onEvent(event(Kind::Back, 30), state);
  EXPECT_EQ(
      sorted(camera::readValues(kPath, {"auto_exposure", "white_balance_automatic", "brightness", "gain",
                                        "exposure_time_absolute", "white_balance_temperature"})),
      sorted(held));

  device->controls[V4L2_CID_EXPOSURE_AUTO].value = 3;
  device->controls[V4L2_CID_BRIGHTNESS].value = -10;
  keeper.tick(89);
  EXPECT_EQ(device->controls[V4L2_CID_BRIGHTNESS].value, -10);
  keeper.tick(90);
  EXPECT_EQ(device->controls[V4L2_CID_EXPOSURE_AUTO].value, 1);
  EXPECT_EQ(device->controls[V4L2_CID_BRIGHTNESS].value, 20);
  EXPECT_EQ(device->controls[V4L2_CID_EXPOSURE_ABSOLUTE].value, 312);
}

// The dialog writes each change at once and remembers what the user set.
TEST_F(CameraControls, TheDialogWritesAtOnceAndRemembersPerCamera) {
  bool checked = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* exposure = dialog->findChild<QSlider*>("exposure_time_absolute");
    auto* mode = dialog->findChild<QComboBox*>("auto_exposure");
    ASSERT_TRUE(exposure && mode);
    // Exposure is the automatic mode's while it is on.
    EXPECT_FALSE(exposure->isEnabled());
    EXPECT_EQ(exposure->value(), 312);
    mode->setCurrentIndex(mode->findText("Manual Mode"));
    emit mode->activated(mode->currentIndex());
    EXPECT_TRUE(exposure->isEnabled());
    exposure->setValue(500);
    EXPECT_EQ(device->controls[V4L2_CID_EXPOSURE_ABSOLUTE].value, 500);
    dialog->findChild<QCheckBox*>("hold")->setChecked(true);
    checked = true;
    dialog->reject();
  });
  const camera::CameraChoices choices = camera::editCameraSettings(0, "Webcam", "serial:A1", kPath);
  EXPECT_TRUE(checked);
  const camera::Values set = {{"auto_exposure", 1}, {"exposure_time_absolute", 500}};
  EXPECT_EQ(choices.changed, set);
  EXPECT_EQ(settings::cameraControls("serial:A1"), set);
  EXPECT_TRUE(settings::cameraOptions().hold);
  EXPECT_TRUE(settings::cameraControls("serial:B2").empty());
}

}  // namespace
