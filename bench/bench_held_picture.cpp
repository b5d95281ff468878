// The picture held on the virtual PipeWire camera, whose automatic exposure
// pumps from frame to frame as a webcam's does, through the running main
// window and its camera keeper (the controls written as the node's
// parameters):
// - Flicker: 200 frames of the window's source, once with the camera left on
//   automatic (as a plain run leaves it) and once with the picture held. The
//   figure is the RMS over frames of (mean luminance - its 5-frame running
//   median) / mean luminance.
// - Dusk: the light on the camera's scene falling 100-fold over 300 frames,
//   a run at interval 1 (ticked by hand, a frame a tick) holding the picture
//   and evening the exposure. Each frame's mean luminance against Start's
//   until exposure and gain reach their limits, and the largest change
//   between consecutive frames.
// - What reading the run's controls back costs (the keeper does it once a
//   minute).
// Prints figures; never fails on them.
//
//   bench_held_picture [frames] [ms between frames]   (flicker: default 200
//                                                      and 0, each new
//                                                      picture of the preview)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "camera/cameracontrols.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "settings/settings.h"
#include "tests/fakes/PipeWireRig.h"

namespace {

const std::string kNode = "held_cam";
constexpr int kDuskFrames = 300;

void runFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
}

bool newPicture(int ms) {
  const uint32_t shown = modWebCam::previewFrameNumber();
  QElapsedTimer t;
  t.start();
  while (modWebCam::previewFrameNumber() == shown) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
  }
  return true;
}

double meanLuminance(const avicap32::VideoFrame& frame) {
  const uint8_t* p = frame.pixels();
  const size_t n = static_cast<size_t>(frame.width) * frame.height;
  double sum = 0;
  for (size_t i = 0; i < n; ++i, p += 4) sum += 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
  return n ? sum / static_cast<double>(n) : 0;
}

// RMS of each frame's departure from the running median of five around it.
double flicker(const std::vector<double>& luma) {
  double sum = 0;
  int counted = 0;
  for (size_t i = 2; i + 2 < luma.size(); ++i) {
    std::vector<double> window(luma.begin() + static_cast<long>(i) - 2,
                               luma.begin() + static_cast<long>(i) + 3);
    std::nth_element(window.begin(), window.begin() + 2, window.end());
    const double d = (luma[i] - window[2]) / luma[i];
    sum += d * d;
    ++counted;
  }
  return counted ? std::sqrt(sum / counted) : 0;
}

// A run of the window over the camera, with the picture held or not: the
// mean luminance of frames of its source.
std::vector<double> sample(bool held, int frames, int gapMs) {
  settings::saveCameraOptions({held, false});
  auto form = std::make_unique<frmMain>();
  form->Show();
  form->txtTmr.SetText("30000");  // the frames measured are the preview's
  form->cmdStart.Click();
  std::vector<double> luma;
  if (!newPicture(20000)) return luma;
  runFor(500);  // past the first frames
  const auto driver = avicap32::driverList().front();
  while (static_cast<int>(luma.size()) < frames && newPicture(5000)) {
    if (const auto frame = driver->latestFrame()) luma.push_back(meanLuminance(*frame));
    if (gapMs > 0) runFor(gapMs);
  }
  form->cmdStop.Click();
  form->Close();
  return luma;
}

// The virtual camera's scene lit by light (1: as at first).
void setLight(const std::string& file, double light) {
  std::ofstream(file + ".new") << light << "\n";
  std::rename((file + ".new").c_str(), file.c_str());
}

// A dusk through a run holding the picture and evening the exposure.
void dusk(const std::string& lightFile) {
  settings::saveCameraOptions({true, true});
  auto form = std::make_unique<frmMain>();
  form->Show();
  form->cmdStart.Click();
  form->tmrCapture.SetEnabled(false);
  form->txtTmr.SetText("1");
  if (!newPicture(20000)) return;
  const auto driver = avicap32::driverList().front();
  const std::string device = "pipewire:" + kNode;
  double start = 0, previous = 0, worstStep = 0, worstStepBefore = 0, worstBefore = 0;
  int limitFrame = -1, worstStepFrame = -1;
  for (int frame = 0; frame <= kDuskFrames; ++frame) {
    const double light = std::pow(0.01, double(frame) / kDuskFrames);
    setLight(lightFile, light);
    // A picture under this light and the last step's exposure, past the
    // preview's own latency.
    for (int i = 0; i < 3; ++i) newPicture(5000);
    const auto picture = driver->latestFrame();
    if (!picture) break;
    const double luma = meanLuminance(*picture);
    const camera::Values now = camera::readValues(device, {"exposure_time_absolute", "gain"});
    const auto value = [&](const char* name) {
      for (const auto& [n, v] : now)
        if (n == name) return v;
      return int64_t{-1};
    };
    if (frame == 0) start = luma;
    if (value("exposure_time_absolute") == 2047 && value("gain") == 255 && limitFrame < 0) limitFrame = frame;
    if (limitFrame < 0) worstBefore = std::max(worstBefore, std::abs(luma / start - 1));
    if (frame > 0 && std::abs(luma / previous - 1) > worstStep) {
      worstStep = std::abs(luma / previous - 1);
      worstStepFrame = frame;
    }
    if (frame > 0 && limitFrame < 0)
      worstStepBefore = std::max(worstStepBefore, std::abs(luma / previous - 1));
    if (std::getenv("BENCH_VERBOSE"))
      std::printf("  %3d %4lld %3lld %6.2f\n", frame, static_cast<long long>(value("exposure_time_absolute")),
                  static_cast<long long>(value("gain")), luma);
    if (frame % 30 == 0)
      std::printf("frame %3d  light %6.4f  exposure %4lld  gain %3lld  luminance %6.1f (%+5.1f %%)\n", frame,
                  light, static_cast<long long>(value("exposure_time_absolute")),
                  static_cast<long long>(value("gain")), luma, 100 * (luma / start - 1));
    previous = luma;
    form->tmrCapture.OnTimer();  // the frame saved, the exposure stepped
    form->frameStore.waitIdle();
  }
  std::printf(
      "until exposure and gain reached their limits (frame %d): largest deviation from Start %.1f %%, "
      "largest change between consecutive frames %.2f %%\n",
      limitFrame, 100 * worstBefore, 100 * worstStepBefore);
  // In the dark, one of the virtual camera's luminance levels is several
  // percent of the picture.
  std::printf("over the whole dusk: largest change between consecutive frames %.2f %% (frame %d)\n",
              100 * worstStep, worstStepFrame);
  form->cmdStop.Click();
  form->Close();
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  const int gapMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  // The virtual cameras read their scene's light from here.
  const std::string lightFile = config.path().toStdString() + "/light";
  setLight(lightFile, 1);
  qputenv("VCAM_LIGHT_FILE", lightFile.c_str());
  fakes::PipeWireRig rig;  // before GStreamer starts, so its provider finds the session
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  if (!rig.Ok() || !rig.Plug(kNode, "Held Cam", 0x808080)) {
    std::printf("PipeWire session not available: %s\n", rig.Error().c_str());
    return 1;
  }
  gstcapture::installDrivers();

  const std::vector<double> automatic = sample(false, frames, gapMs);
  // A camera plugged in afresh has its automatic exposure on again.
  rig.Unplug(kNode);
  rig.Plug(kNode, "Held Cam", 0x808080);
  runFor(3000);
  const std::vector<double> held = sample(true, frames, gapMs);
  std::printf("flicker over %zu and %zu frames (RMS of the departure from the 5-frame running median):\n",
              automatic.size(), held.size());
  std::printf("  automatic exposure  %6.2f %%\n", 100 * flicker(automatic));
  std::printf("  held                %6.2f %%\n", 100 * flicker(held));

  // Plugged in afresh for the dusk: automatic exposure on, as at first.
  rig.Unplug(kNode);
  rig.Plug(kNode, "Held Cam", 0x808080);
  runFor(3000);
  std::printf("\ndusk, the light falling 100-fold over %d frames at interval 1, exposure evened:\n",
              kDuskFrames);
  dusk(lightFile);

  const std::string device = "pipewire:" + kNode;
  const std::vector<std::string> names = {"auto_exposure", "exposure_time_absolute",
                                          "white_balance_automatic", "white_balance_temperature"};
  constexpr int kReads = 50;
  QElapsedTimer t;
  t.start();
  size_t read = 0;
  for (int i = 0; i < kReads; ++i) read += camera::readValues(device, names).size();
  std::printf("reading %zu controls back through PipeWire: %.2f ms each time (once a minute in a run)\n",
              read / kReads, static_cast<double>(t.nsecsElapsed()) / 1e6 / kReads);
  // A value written as the dialog writes it (a slider writes as it moves),
  // read back until the node shows it.
  camera::applyValues(device, {{"auto_exposure", 1}});
  t.restart();
  for (int i = 0; i < kReads; ++i)
    camera::applyValues(device, {{"exposure_time_absolute", 300 + i % 2 * 10}});
  std::printf("writing one control through PipeWire: %.2f ms each time\n",
              static_cast<double>(t.nsecsElapsed()) / 1e6 / kReads);
  gstcapture::uninstallDrivers();
  return 0;
}
