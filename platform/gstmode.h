#pragma once
// Mode choice: which of the modes a camera offers to ask for, for a preview
// of a given size and rate, or for full-size stills beside it.
#include <string>
#include <vector>

typedef struct _GstCaps GstCaps;

namespace gstcapture {

// One concrete mode a camera offers.
struct Mode {
  bool jpeg = false;  // image/jpeg (MJPEG) rather than video/x-raw
  int width = 0;
  int height = 0;
  int fpsNum = 0;
  int fpsDen = 1;
};

// The index of the cheapest mode for a preview of width x height at fps frames
// a second, -1 when there is none. Modes that cover the size come first, then
// those that reach the rate, then those of the preview's shape (4:3); among
// them the smallest area (the largest when none covers), the lowest rate that
// reaches fps (the highest when none does), and raw before MJPEG, which needs
// decoding.
int pickMode(const std::vector<Mode>& modes, int width, int height, int fps);

// The index of the mode for full-size stills beside a preview at fps frames a
// second, -1 when there is none: the largest of those at 5 frames a second or
// more (MJPEG first at sizes above 640 x 480, raw first at smaller ones), at
// the lowest rate that reaches fps (the highest when none does).
int pickFullSizeMode(const std::vector<Mode>& modes, int fps);

// The fixed caps of the cheapest mode among a device's caps for such a
// preview, or with fullSize of its mode for full-size stills (width and
// height then unused); the caller owns them; null when none can be used.
// Only system-memory raw video and MJPEG count.
GstCaps* pickCaps(const GstCaps* deviceCaps, int width, int height, int fps, bool fullSize = false);

// pickCaps over caps as text; empty when none can be used.
std::string pickCapsText(const std::string& deviceCaps, int width, int height, int fps);
std::string pickFullSizeCapsText(const std::string& deviceCaps, int fps);

}  // namespace gstcapture
