#pragma once
// Evens out flicker: the pumping of a webcam's automatic exposure from one
// frame to the next. Each frame's brightness is pulled to the mean of a few
// frames around it, so a frame brighter or darker than its neighbours is
// brought in line, while a slow change (dawn, dusk) keeps its course.
#include <deque>

#include "video/frames.h"

namespace video {

class Deflicker {
 public:
  // radius: the frames either side whose brightness a frame is pulled to.
  explicit Deflicker(int radius = 3) : radius_(radius) {}

  // Hands in the next frame.
  void push(Picture picture);
  // Says that no frame follows: the frames still held become ready.
  void finish() { finished_ = true; }
  // The next frame evened out, once the frames after it that it needs are in.
  bool pop(Picture& picture);

  // The mean brightness (luma, 0 to 255) of a picture.
  static double brightness(const Picture& picture);

 private:
  int radius_;
  bool finished_ = false;
  // The brightness of up to radius_ frames already out, then of those held.
  std::deque<double> brightness_;
  int out_ = 0;  // frames of brightness_ already out
  std::deque<Picture> held_;
};

}  // namespace video
