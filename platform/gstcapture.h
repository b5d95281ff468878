#pragma once
// Capture drivers over GStreamer: the cameras the device monitor finds and the
// built-in test pattern. Each connected driver runs one pipeline that ends in
// an appsink holding at most one BGRx frame, pulled from the UI thread.
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32.h"

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
// those that reach the rate; among them the smallest area (the largest when
// none covers), the lowest rate that reaches fps (the highest when none
// does), and raw before MJPEG, which needs decoding.
int PickMode(const std::vector<Mode>& modes, int width, int height, int fps);

// Whether a sorts before b, comparing runs of digits by their value
// ("/dev/video2" before "/dev/video10"); a total order: names that differ
// only in leading zeros sort by them ("/dev/video2" before "/dev/video02").
bool NaturalLess(const std::string& a, const std::string& b);

// Drivers for the devices listed as "Video/Source", ordered by device path.
avicap32::DriverList CameraDrivers();

// The built-in test source: a moving pattern with a running clock, 320 x 240
// at 15 frames a second.
std::shared_ptr<avicap32::CaptureDriver> MakeTestPattern();
// The test source made to behave like a camera: the pattern is produced in
// sourceMode (raw) and goes through the camera pipeline's own rate limiting,
// scaling and conversion.
std::shared_ptr<avicap32::CaptureDriver> MakeTestPattern(const Mode& sourceMode);

// A driver over a launch description whose last element is an appsink named
// "sink" (anything else in it is up to the caller).
std::shared_ptr<avicap32::CaptureDriver> MakeLaunchDriver(const std::string& description,
                                                          const std::string& name);

// The GStreamer version text, as given to drivers' Version().
std::string VersionText();

}  // namespace gstcapture
