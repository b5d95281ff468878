#pragma once
// File > Make video...: a dialog that makes a video of a folder of frames,
// with progress and Cancel. The video is made on a thread of its own, so the
// window's own work (a time-lapse capturing meanwhile) goes on. The choices
// are remembered in the settings, section "Video".
#include <optional>
#include <string>

namespace video {

struct Made {
  std::string file;     // the video made
  std::string summary;  // one line: the file, its frames and length
};

// Shows the dialog, with framesFolder chosen at first, until the user closes
// it; returns the video made, if one was.
std::optional<Made> runMakeVideoDialog(const std::string& framesFolder);

}  // namespace video
