#pragma once
// The chores of a long run, on a thread of its own at the lowest priority (so
// that GStreamer's threads, which take the priority of the thread that makes
// them, never hold up a frame): a video of each day, and old frames deleted.
//
// A day's video ("videos/dd_MM_yyyy.mp4" beside the frames folder, with the
// Make video dialog's choices) is made once the day is over: when the day's
// active hours have closed for the day, else after midnight; days missed
// while the program was not running are made at the next look, back to the
// day videos were first asked for in that folder. A day with no frames makes
// no video.
//
// Frames older than the days to keep are deleted: only files named as the
// program names frames, never one that sending still needs, never one of a
// day whose video is due and not made.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sending {

class Upkeep {
 public:
  // made: told of each video made (from the chores' thread). settled:
  // whether sending needs nothing more of a frame (asked from that thread).
  Upkeep(std::function<void(const std::string& video)> made,
         std::function<bool(const std::string& frame)> settled);
  // Cancels a video under way (which leaves no file) and ends the thread.
  ~Upkeep();
  Upkeep(const Upkeep&) = delete;
  Upkeep& operator=(const Upkeep&) = delete;

  // The run's folder, whether each day gets its video, and how many days
  // frames are kept (0: all).
  void bind(const std::string& folder, bool dailyVideo, int keepDays);
  // Has a look for chores (at Start, once an hour, when the hours close): at
  // now, in seconds since 1970 UTC; dayOver: the active hours are over for
  // today.
  void check(int64_t now, bool dayOver);

  // The chores' folder for videos: "videos" beside the frames folder.
  static std::string videosFolder(const std::string& framesFolder);
  // Waits until no chore is under way or waiting, or ms have passed.
  bool waitIdle(int ms) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace sending
