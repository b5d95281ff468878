// The exposure walk through a simulated dusk, end to end through the run's
// camera keeper and the V4L2 calls (answered by a fake webcam): the light
// falls 100-fold over 300 frames at interval 1, the picture is light x
// exposure x gain with sensor noise, measured as the walk measures it.
// Prints each frame's mean luminance against the Start value until exposure
// and gain reach their limits, the largest step between consecutive frames,
// and what reading the controls back costs. Never fails on a figure.
#include <linux/videodev2.h>

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "camera/camerakeeper.h"
#include "tests/fakes/FakeV4l2Device.h"

namespace {

constexpr const char* kPath = "/dev/video7";
constexpr int kWidth = 320, kHeight = 240, kFrames = 300;

// A frame of a scene lit by light, through the camera's exposure and gain
// (the fake webcam's defaults give a mid-grey at full light).
std::vector<uint8_t> picture(double light, const fakes::FakeV4l2Device& camera, std::mt19937& noise) {
  const double exposure = camera.controls.at(V4L2_CID_EXPOSURE_ABSOLUTE).value / 312.0;
  const double gain = std::max<int64_t>(1, camera.controls.at(V4L2_CID_GAIN).value) / 57.0;
  std::normal_distribution<double> grain(0, 2.0);
  std::vector<uint8_t> bgrx(kWidth * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      // A scene with some structure: brighter toward the top.
      const double scene = 90 + 60.0 * (kHeight - y) / kHeight;
      const double v = std::clamp(scene * light * exposure * gain + grain(noise), 0.0, 255.0);
      uint8_t* p = &bgrx[(y * kWidth + x) * 4];
      p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
    }
  }
  return bgrx;
}

}  // namespace

int main() {
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  auto camera = std::make_shared<fakes::FakeV4l2Device>(fakes::FakeV4l2Device::webcam(kPath));
  v4l2device::setSystem(camera);

  camera::Keeper keeper([](const std::string&) { return kPath; });
  keeper.setOptions({true, true});
  run::State state;
  state.source = "serial:bench";
  keeper.onEvent({run::Event::Kind::Started, 0, {}, 0, 0}, state);
  keeper.onEvent({run::Event::Kind::SourceTaken, 0, {}, 0, 0}, state);

  std::mt19937 noise(1);
  double start = 0, previous = 0, worstStep = 0, worstBefore = 0;
  int limitFrame = -1;
  for (int frame = 0; frame <= kFrames; ++frame) {
    const double light = std::pow(0.01, double(frame) / kFrames);
    const std::vector<uint8_t> bgrx = picture(light, *camera, noise);
    const double luma = camera::centreWeightedLuminance(bgrx.data(), kWidth, kHeight, kWidth * 4);
    if (frame == 0) start = luma;
    const bool atLimit = camera->controls.at(V4L2_CID_EXPOSURE_ABSOLUTE).value == 2047 &&
                         camera->controls.at(V4L2_CID_GAIN).value == 255;
    if (atLimit && limitFrame < 0) limitFrame = frame;
    if (limitFrame < 0) worstBefore = std::max(worstBefore, std::abs(luma / start - 1));
    if (frame > 0) worstStep = std::max(worstStep, std::abs(luma / previous - 1));
    if (frame % 30 == 0)
      std::printf("frame %3d  light %6.4f  exposure %4lld  gain %3lld  luminance %6.1f (%+5.1f %%)\n", frame,
                  light, static_cast<long long>(camera->controls.at(V4L2_CID_EXPOSURE_ABSOLUTE).value),
                  static_cast<long long>(camera->controls.at(V4L2_CID_GAIN).value), luma,
                  100 * (luma / start - 1));
    previous = luma;
    keeper.frame(bgrx.data(), kWidth, kHeight, kWidth * 4);
  }
  std::printf(
      "\nUntil exposure and gain reached their limits (frame %d): largest deviation from Start %.1f %%\n",
      limitFrame, 100 * worstBefore);
  std::printf("Largest change between consecutive frames: %.2f %%\n", 100 * worstStep);

  // Reading the controls back, as once a minute during a run.
  const auto t0 = std::chrono::steady_clock::now();
  constexpr int kReads = 1000;
  for (int i = 1; i <= kReads; ++i) keeper.tick(i * camera::kReadBackSecs);
  const double each =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / kReads;
  std::printf("Reading back %zu controls: %.1f us each (the fake device's calls), once a minute\n",
              keeper.inForce().size(), each);
  v4l2device::setSystem(nullptr);
  return 0;
}
