#include "camera/exposurewalk.h"

#include <algorithm>
#include <cmath>

namespace camera {
namespace {

constexpr double kDeadBand = 0.08;
constexpr double kLargestStep = 1.25;
// The share of the way (in brightness ratio) one step goes: a dusk darkens
// by a percent or two a frame; from the dead band's edge a step is about
// 2.4 %, enough to follow it, and an error of 10 % (a frame's noise on top)
// still steps under 3 %, so consecutive frames stay that close.
constexpr double kShare = 0.28;

// value scaled by factor, rounded, moved at least one unit the factor's way
// when the range and the largest step allow, kept in range.
int64_t scaled(int64_t value, double factor, WalkRange range) {
  // A control at zero (a gain of 0) scales as 1.
  const double base = std::max<double>(1.0, static_cast<double>(value));
  auto next = static_cast<int64_t>(std::llround(base * factor));
  if (next == value && factor > 1 && (value + 1) <= base * kLargestStep) next = value + 1;
  if (next == value && factor < 1 && (value - 1) >= base / kLargestStep) next = value - 1;
  // Rounding may overshoot the largest step.
  next = std::min<int64_t>(next, static_cast<int64_t>(std::floor(base * kLargestStep)));
  next = std::max<int64_t>(next, static_cast<int64_t>(std::ceil(base / kLargestStep)));
  return std::clamp(next, range.minimum, range.maximum);
}

double ratio(int64_t to, int64_t from) {
  return std::max(1.0, static_cast<double>(to)) / std::max(1.0, static_cast<double>(from));
}

}  // namespace

double centreWeightedLuminance(const uint8_t* bgrx, int width, int height, int stride) {
  if (width <= 0 || height <= 0) return 0;
  // Every pixel of a preview, a grid of about 100,000 of a larger picture.
  const int every = std::max(1, static_cast<int>(std::sqrt(double(width) * height / 100000.0)));
  double sum = 0, weights = 0;
  for (int y = every / 2; y < height; y += every) {
    const double wy = 1.0 - std::abs((y + 0.5) / height * 2.0 - 1.0);
    const uint8_t* row = bgrx + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = every / 2; x < width; x += every) {
      const double w = wy * (1.0 - std::abs((x + 0.5) / width * 2.0 - 1.0));
      const uint8_t* p = row + static_cast<std::ptrdiff_t>(x) * 4;
      sum += w * (0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2]);
      weights += w;
    }
  }
  return weights > 0 ? sum / weights : 0;
}

ExposureWalk::ExposureWalk(double target, int64_t exposure, WalkRange exposureRange, int64_t gain,
                           WalkRange gainRange)
    : target_(target),
      exposure_(exposure),
      gain_(gain),
      exposureRange_(exposureRange),
      gainRange_(gainRange) {}

WalkStep ExposureWalk::step(double brightness) {
  WalkStep s{exposure_, gain_};
  const double error = std::max(brightness, 0.5) / std::max(target_, 0.5);
  if (std::abs(error - 1.0) <= kDeadBand) {
    atLimit_ = false;
    return s;
  }
  double want = std::clamp(std::pow(1.0 / error, kShare), 1.0 / kLargestStep, kLargestStep);
  const bool brighter = want > 1;
  // Brighter: exposure first, then gain; darker: gain back first, then
  // exposure, so the gain (and its noise) is the last resort either way.
  int64_t* first = brighter ? &exposure_ : &gain_;
  int64_t* second = brighter ? &gain_ : &exposure_;
  const WalkRange firstRange = brighter ? exposureRange_ : gainRange_;
  const WalkRange secondRange = brighter ? gainRange_ : exposureRange_;
  const int64_t before = *first;
  *first = scaled(*first, want, firstRange);
  want /= ratio(*first, before);
  // What the first could not do, the second does, if it is worth a step.
  if (*first == before && std::abs(want - 1.0) > 1e-9) *second = scaled(*second, want, secondRange);
  s.changed = exposure_ != s.exposure || gain_ != s.gain;
  s.exposure = exposure_;
  s.gain = gain_;
  // Neither can move the way the picture needs: the walk is at its limit.
  s.atLimit = !s.changed;
  s.limitReached = s.atLimit && !atLimit_;
  atLimit_ = s.atLimit;
  return s;
}

}  // namespace camera
