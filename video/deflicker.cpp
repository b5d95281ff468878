#include "video/deflicker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace video {

double Deflicker::brightness(const Picture& picture) {
  if (picture.pixels.empty()) return 0;
  uint64_t sum = 0;
  for (const uint32_t p : picture.pixels) {
    sum += 77 * (p >> 16 & 0xff) + 150 * (p >> 8 & 0xff) + 29 * (p & 0xff);
  }
  return static_cast<double>(sum) / 256.0 / static_cast<double>(picture.pixels.size());
}

void Deflicker::push(Picture picture) {
  brightness_.push_back(brightness(picture));
  held_.push_back(std::move(picture));
}

bool Deflicker::pop(Picture& picture) {
  if (held_.empty()) return false;
  const int ahead = static_cast<int>(held_.size()) - 1;
  if (ahead < radius_ && !finished_) return false;
  // A window the same size on both sides, shorter at the ends of the run, so
  // a steady ramp is its own mean. Its two end frames count half: that makes
  // a flicker that alternates frame by frame cancel out exactly.
  const int reach = std::min({radius_, out_, ahead});
  double sum = 0;
  double weight = 0;
  for (int k = -reach; k <= reach; ++k) {
    const double w = (reach > 0 && std::abs(k) == reach) ? 0.5 : 1.0;
    sum += w * brightness_[static_cast<size_t>(out_ + k)];
    weight += w;
  }
  const double own = brightness_[static_cast<size_t>(out_)];
  picture = std::move(held_.front());
  held_.pop_front();
  if (out_ < radius_) {
    ++out_;
  } else {
    brightness_.pop_front();
  }
  // Nearly black frames are left as they are: no gain is meaningful there.
  if (own < 1.0) return true;
  const double gain = std::clamp(sum / weight / own, 0.25, 4.0);
  std::array<uint32_t, 256> level{};
  for (uint32_t v = 0; v < 256; ++v) {
    level[v] = static_cast<uint32_t>(std::min(255.0, std::round(v * gain)));
  }
  for (uint32_t& p : picture.pixels) {
    p = (p & 0xff000000u) | level[p >> 16 & 0xff] << 16 | level[p >> 8 & 0xff] << 8 | level[p & 0xff];
  }
  return true;
}

}  // namespace video
