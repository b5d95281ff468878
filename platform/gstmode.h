#pragma once
// Mode choice: which of the modes a camera offers to ask for, for a preview
// of a given size and rate, or for full-size stills beside it.
typedef struct _GstCaps GstCaps;

namespace gstcapture {

// The fixed caps of the cheapest mode among a device's caps for such a
// preview, or with fullSize of its mode for full-size stills (width and
// height then unused); the caller owns them; null when none can be used.
// Only system-memory raw video and MJPEG count.
GstCaps* pickCaps(const GstCaps* deviceCaps, int width, int height, int fps, bool fullSize = false);

}  // namespace gstcapture
