#pragma once
// Evening the exposure through dawn and dusk: the brightness of each frame
// about to be saved (the centre-weighted mean of its luminance) is compared
// with the brightness at Start; outside a dead band of ±8 % the exposure, then
// the gain, take one step toward it (at most ×1.25, and only part of the way,
// so the picture never jumps between frames). Plain numbers in and out: the
// caller reads the frame and writes the controls.
#include <cstdint>

namespace camera {

// The centre-weighted mean luminance (0 to 255) of a picture of top-down
// rows of 4 bytes a pixel (B, G, R, X): a pixel's weight falls from the
// centre to nothing at the edges.
double centreWeightedLuminance(const uint8_t* bgrx, int width, int height, int stride);

struct WalkRange {
  int64_t minimum = 0, maximum = 0;
};

struct WalkStep {
  int64_t exposure = 0, gain = 0;
  bool changed = false;
  // Both exposure and gain are at the end of their range in the direction
  // the picture needs; limitReached only on the first frame of that.
  bool atLimit = false;
  bool limitReached = false;
};

class ExposureWalk {
 public:
  // The brightness to keep, and the exposure and gain in force at Start. A
  // camera without gain is given an empty range at its value.
  ExposureWalk(double target, int64_t exposure, WalkRange exposureRange, int64_t gain, WalkRange gainRange);

  // The exposure and gain for the frames after one of this brightness.
  WalkStep step(double brightness);

  double target() const { return target_; }

 private:
  double target_;
  int64_t exposure_, gain_;
  WalkRange exposureRange_, gainRange_;
  bool atLimit_ = false;
};

}  // namespace camera
