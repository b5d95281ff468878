#include "platform/gstmode.h"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/gstref.h"

namespace gstcapture {
namespace {

// One concrete mode a camera offers.
struct Mode {
  bool jpeg = false;  // image/jpeg (MJPEG) rather than video/x-raw
  int width = 0;
  int height = 0;
  int fpsNum = 0;
  int fpsDen = 1;
};

double rate(const Mode& m) { return m.fpsDen > 0 ? static_cast<double>(m.fpsNum) / m.fpsDen : 0.0; }

// The index of the usable mode with the lowest key, -1 when there is none.
template <typename Key>
int lowestKey(const std::vector<Mode>& modes, const Key& key) {
  int best = -1;
  for (size_t i = 0; i < modes.size(); ++i) {
    if (modes[i].width <= 0 || modes[i].height <= 0 || modes[i].fpsDen <= 0) continue;
    if (best < 0 || key(modes[i]) < key(modes[static_cast<size_t>(best)])) best = static_cast<int>(i);
  }
  return best;
}

// Sizes asked of a mode's size ranges for full-size stills: their largest.
constexpr int kAnySize = 1 << 20;

// The value of an int field nearest to want: the int itself, or want clamped
// into a range.
bool pickInt(const GstStructure* s, const char* field, int want, int* out) {
  const GValue* v = gst_structure_get_value(s, field);
  if (!v) return false;
  if (G_VALUE_HOLDS_INT(v)) {
    *out = g_value_get_int(v);
    return true;
  }
  if (GST_VALUE_HOLDS_INT_RANGE(v)) {
    *out = std::clamp(want, gst_value_get_int_range_min(v), gst_value_get_int_range_max(v));
    return true;
  }
  return false;
}

// The frame rates a structure offers: a fraction, a list of them, or a range
// (from which fps itself, clamped, is taken).
std::vector<std::pair<int, int>> rates(const GstStructure* s, int fps) {
  std::vector<std::pair<int, int>> out;
  const GValue* v = gst_structure_get_value(s, "framerate");
  if (!v) return out;
  const auto add = [&out](const GValue* f) {
    if (GST_VALUE_HOLDS_FRACTION(f)) {
      out.emplace_back(gst_value_get_fraction_numerator(f), gst_value_get_fraction_denominator(f));
    }
  };
  if (GST_VALUE_HOLDS_LIST(v)) {
    for (guint i = 0; i < gst_value_list_get_size(v); ++i) add(gst_value_list_get_value(v, i));
  } else if (GST_VALUE_HOLDS_FRACTION_RANGE(v)) {
    const GValue* lo = gst_value_get_fraction_range_min(v);
    const GValue* hi = gst_value_get_fraction_range_max(v);
    const Mode low{false, 0, 0, gst_value_get_fraction_numerator(lo), gst_value_get_fraction_denominator(lo)};
    const Mode high{false, 0, 0, gst_value_get_fraction_numerator(hi),
                    gst_value_get_fraction_denominator(hi)};
    if (fps < rate(low)) {
      out.emplace_back(low.fpsNum, low.fpsDen);
    } else if (fps > rate(high)) {
      out.emplace_back(high.fpsNum, high.fpsDen);
    } else {
      out.emplace_back(fps, 1);
    }
  } else {
    add(v);
  }
  return out;
}

// The index of the cheapest mode for a preview of width x height at fps frames
// a second, -1 when there is none. Modes that cover the size come first, then
// those that reach the rate, then those of the preview's shape (4:3); among
// them the smallest area (the largest when none covers), the lowest rate that
// reaches fps (the highest when none does), and raw before MJPEG, which needs
// decoding.
int pickMode(const std::vector<Mode>& modes, int width, int height, int fps) {
  // Lower keys are cheaper.
  const auto key = [&](const Mode& m) {
    const bool covers = m.width >= width && m.height >= height;
    const double area = static_cast<double>(m.width) * m.height;
    const double r = rate(m);
    const bool reaches = r >= fps;
    // A mode of the preview's shape fills it; another one is letterboxed.
    const bool shaped = int64_t(m.width) * height == int64_t(m.height) * width;
    return std::make_tuple(!covers, !reaches, !(covers && shaped), covers ? area : -area, reaches ? r : -r,
                           m.jpeg);
  };
  return lowestKey(modes, key);
}

// The index of the mode for full-size stills beside a preview at fps frames a
// second, -1 when there is none: the largest of those at 5 frames a second or
// more (MJPEG first at sizes above 640 x 480, raw first at smaller ones), at
// the lowest rate that reaches fps (the highest when none does).
int pickFullSizeMode(const std::vector<Mode>& modes, int fps) {
  constexpr double kLargeArea = 640.0 * 480.0;
  constexpr double kLeastFps = 5;
  // Lower keys are better.
  const auto key = [&](const Mode& m) {
    const double area = static_cast<double>(m.width) * m.height;
    const double r = rate(m);
    const bool reaches = r >= fps;
    // Raw at large sizes costs the USB bus more than the decoding saves.
    const bool preferred = area > kLargeArea ? m.jpeg : !m.jpeg;
    return std::make_tuple(r < kLeastFps, -area, !preferred, !reaches, reaches ? r : -r);
  };
  return lowestKey(modes, key);
}

}  // namespace

GstCaps* pickCaps(const GstCaps* all, int width, int height, int fps, bool fullSize) {
  if (!all) return nullptr;
  // Full size asks a mode's size ranges for their largest.
  if (fullSize) width = height = kAnySize;
  std::vector<Mode> modes;
  std::vector<guint> from;
  for (guint i = 0; i < gst_caps_get_size(all); ++i) {
    const GstStructure* s = gst_caps_get_structure(all, i);
    const bool jpeg = gst_structure_has_name(s, "image/jpeg");
    if (!jpeg && !gst_structure_has_name(s, "video/x-raw")) continue;
    GstCapsFeatures* features = gst_caps_get_features(all, i);
    if (features && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) continue;
    Mode m;
    m.jpeg = jpeg;
    if (!pickInt(s, "width", width, &m.width) || !pickInt(s, "height", height, &m.height)) continue;
    for (const auto& [num, den] : rates(s, fps)) {
      m.fpsNum = num;
      m.fpsDen = den;
      modes.push_back(m);
      from.push_back(i);
    }
  }
  const int best = fullSize ? pickFullSizeMode(modes, fps) : pickMode(modes, width, height, fps);
  if (best < 0) return nullptr;
  const Mode& m = modes[static_cast<size_t>(best)];
  GstStructure* s = gst_structure_copy(gst_caps_get_structure(all, from[static_cast<size_t>(best)]));
  gst_structure_set(s, "width", G_TYPE_INT, m.width, "height", G_TYPE_INT, m.height, "framerate",
                    GST_TYPE_FRACTION, m.fpsNum, m.fpsDen, nullptr);
  GstCaps* caps = gst_caps_new_empty();
  gst_caps_append_structure(caps, s);
  // Fields left as lists or ranges (a format list, say) take their first value.
  return gst_caps_fixate(caps);
}

}  // namespace gstcapture
