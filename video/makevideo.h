#pragma once
// Makes a video of a folder of frames, in capture order, with GStreamer:
// H.264 in MP4 or VP9 in WebM. The frames are streamed through one at a
// time, so memory stays flat however many there are; the video has no name
// until it is complete and flushed, so a cancelled, failed or killed run
// leaves no partial file under it. Temporary files of a maker that was
// killed are removed by the next one that writes into the same folder.
#include <atomic>
#include <functional>
#include <string>

namespace video {

enum class Format { mp4, webm };

struct Settings {
  std::string folder;  // the frames
  // The video file; a file already there is kept, and the video takes the
  // first free of NAME_2.EXT, NAME_3.EXT, ... (the message names it).
  std::string output;
  int fps = 25;
  Format format = Format::mp4;
  // 0 x 0: the size of the frames (of the first, when they differ).
  int width = 0;
  int height = 0;
  bool deflicker = false;
  // Its threads at the lowest priority, so that it never holds up anything else.
  bool lowPriority = false;
  // Only the frames of this day ("dd_MM_yyyy", as their names begin); all when empty.
  std::string day = {};
};

struct Progress {
  int done = 0;             // frame files handled
  int total = 0;            // frame files found
  double secondsLeft = -1;  // negative until there is a rate to go by
};

struct Result {
  bool complete = false;
  bool cancelled = false;
  // One line: what was made, or why not.
  std::string message;
  std::string file;     // the video written, when complete
  int frames = 0;       // frames in the video
  int notFrames = 0;    // files passed over whose names are not frame names
  int undecodable = 0;  // frames passed over that could not be read
};

using ProgressHandler = std::function<void(const Progress&)>;

// Makes the video on the calling thread and returns when it is complete,
// failed or cancelled (cancel is looked at between frames). progress is
// called on the calling thread, a few times a second at most.
Result makeVideo(const Settings& settings, const ProgressHandler& progress, const std::atomic<bool>& cancel);

// What is missing to make a video of the format: a message naming the
// Debian package to install, or empty when nothing is.
std::string missingEncoder(Format format);

// The file name extension of the format: "mp4" or "webm".
const char* extension(Format format);

}  // namespace video
