// Flicker on the virtual PipeWire camera, whose automatic exposure pumps from
// frame to frame as a webcam's does: 200 frames of the running main window's
// source, once with the camera left on automatic (as a plain run leaves it)
// and once with the picture held (the run's camera keeper switching automatic
// exposure and white balance off at Start, through the node's parameters).
// The figure is the RMS over frames of (mean luminance - its 5-frame running
// median) / mean luminance. Then what reading the run's controls back costs
// (the keeper does it once a minute). Prints figures; never fails on them.
//
//   bench_flicker [frames] [ms between frames]   (default 200 and 0: each
//                                                 new picture of the preview)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

const std::string kNode = "flicker_cam";

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

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  const int gapMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  fakes::PipeWireRig rig;  // before GStreamer starts, so its provider finds the session
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  if (!rig.Ok() || !rig.Plug(kNode, "Flicker Cam", 0x808080)) {
    std::printf("PipeWire session not available: %s\n", rig.Error().c_str());
    return 1;
  }
  gstcapture::installDrivers();

  const std::vector<double> automatic = sample(false, frames, gapMs);
  // A camera plugged in afresh has its automatic exposure on again.
  rig.Unplug(kNode);
  rig.Plug(kNode, "Flicker Cam", 0x808080);
  runFor(3000);
  const std::vector<double> held = sample(true, frames, gapMs);
  std::printf("flicker over %zu and %zu frames (RMS of the departure from the 5-frame running median):\n",
              automatic.size(), held.size());
  std::printf("  automatic exposure  %6.2f %%\n", 100 * flicker(automatic));
  std::printf("  held                %6.2f %%\n", 100 * flicker(held));

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
  gstcapture::uninstallDrivers();
  return 0;
}
