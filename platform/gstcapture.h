#pragma once
// Capture drivers over GStreamer: the cameras the device monitor finds (V4L2
// devices and PipeWire nodes alike) and the built-in test pattern. Each
// connected driver runs one pipeline, started and stopped on a thread of its
// own, that ends in an appsink handing over BGRx frames at most the preview's
// size and rate.
#include <memory>
#include <string>
#include <vector>

#include "platform/capturedriver.h"

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

// The fixed caps (as text) of the cheapest mode in a device's caps (as text)
// for such a preview; empty when none can be used. Only system-memory raw
// video and MJPEG count.
std::string pickCapsText(const std::string& deviceCaps, int width, int height, int fps);

// The index of the mode for full-size stills beside a preview at fps frames a
// second, -1 when there is none: the largest of those at 5 frames a second or
// more (MJPEG first at sizes above 640 x 480, raw first at smaller ones), at
// the lowest rate that reaches fps (the highest when none does).
int pickFullSizeMode(const std::vector<Mode>& modes, int fps);
// pickCapsText for full-size stills.
std::string pickFullSizeCapsText(const std::string& deviceCaps, int fps);

// Whether a sorts before b, comparing runs of digits by their value
// ("/dev/video2" before "/dev/video10"); a total order: names that differ
// only in leading zeros sort by them ("/dev/video2" before "/dev/video02").
bool naturalLess(const std::string& a, const std::string& b);

// Installs the system's drivers in the capture driver list: one per camera
// listed as "Video/Source" (in a stable order, identical names told apart as
// "Name", "Name (2)"), then the test pattern. From then on the device monitor
// runs: a camera's removal makes its driver lost, a camera that comes back is
// found again by its identity, and a new camera is added before the test
// pattern. Call from the UI thread, whose event loop delivers the monitor's
// messages.
void installDrivers();
// Stops following devices and empties the driver list.
void uninstallDrivers();

// The built-in test source: a moving pattern with a running clock, 320 x 240
// at 15 frames a second.
std::shared_ptr<avicap32::CaptureDriver> makeTestPattern();

// The chain a camera's raw frames go through (launch syntax, from rate
// limiting to the appsink named "sink"), for a preview of width x height at
// up to fps frames a second.
std::string cameraChain(int width, int height, int fps);

// A driver over a launch description whose last element is an appsink named
// "sink" (anything else in it is up to the caller).
std::shared_ptr<avicap32::CaptureDriver> makeLaunchDriver(const std::string& description,
                                                          const std::string& name);

// The GStreamer version text, as given to drivers' version().
std::string versionText();

}  // namespace gstcapture
