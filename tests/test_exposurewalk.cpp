// The exposure walk through a simulated dusk: a camera whose picture is
// light x exposure x gain, the light falling 100-fold over 300 frames.
#include "camera/exposurewalk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(ExposureWalk, StepsThroughADuskWithinItsBounds) {
  const camera::WalkRange exposureRange{3, 2047}, gainRange{16, 64};
  int64_t exposure = 100, gain = 16;
  const auto brightness = [&](int frame) {
    return 120.0 * std::pow(0.01, frame / 300.0) * (exposure / 100.0) * (gain / 16.0);
  };
  camera::ExposureWalk walk(brightness(0), exposure, exposureRange, gain, gainRange);
  int limits = 0;
  for (int frame = 1; frame <= 300; ++frame) {
    const double b = brightness(frame);
    const camera::WalkStep s = walk.step(b);
    const double ratio = (double(s.exposure) / exposure) * (double(s.gain) / gain);
    // Within the dead band nothing moves; outside it one of the two, by at most x1.25.
    if (std::abs(b / 120.0 - 1) <= 0.08) {
      EXPECT_FALSE(s.changed) << frame;
    }
    EXPECT_FALSE(s.exposure != exposure && s.gain != gain) << frame;
    EXPECT_LE(std::abs(std::log(ratio)), std::log(1.25) + 1e-9) << frame;
    // Gain only once exposure is at its longest.
    if (s.gain != gain) {
      EXPECT_EQ(exposure, exposureRange.maximum) << frame;
    }
    limits += s.limitReached;
    exposure = s.exposure;
    gain = s.gain;
  }
  EXPECT_EQ(exposure, exposureRange.maximum);
  EXPECT_EQ(gain, gainRange.maximum);
  EXPECT_EQ(limits, 1);
}

TEST(ExposureWalk, WeighsTheCentreOfThePicture) {
  // A bright centre on a black frame weighs more than its share of pixels.
  const int w = 40, h = 30;
  std::vector<uint8_t> frame(w * h * 4, 0);
  for (int y = 10; y < 20; ++y)
    for (int x = 13; x < 27; ++x)
      for (int c = 0; c < 3; ++c) frame[(y * w + x) * 4 + c] = 255;
  const double share = 255.0 * (10 * 14) / (w * h);
  EXPECT_GT(camera::centreWeightedLuminance(frame.data(), w, h, w * 4), 2 * share);
}

}  // namespace
