#pragma once
// The system's capture drivers over GStreamer: the cameras the device
// monitor finds (V4L2 devices and PipeWire nodes alike), known by their
// identity for the whole run, then the built-in test pattern.
#include <string>
#include <vector>

#include "platform/gstsession.h"

namespace gstcapture {

// What a camera is known by, strongest first.
struct DeviceKeys {
  std::string serial;    // udev serial (for many webcams only vendor and model)
  std::string busPath;   // USB/PCI path, V4L2 bus info
  std::string nodeName;  // PipeWire node name
  std::string path;      // device path (/dev/videoN)
};

// Which of the cameras known in this run a device is: the one whose
// strongest key that no other known camera shares is the device's too, with
// no stronger key that differs; -1 for none. So twins that share a serial are
// told apart by their ports, and a camera with a serial of its own is known
// by it in any port.
int identify(const std::vector<DeviceKeys>& known, const DeviceKeys& device);

// Whether a sorts before b, comparing runs of digits by their value
// ("/dev/video2" before "/dev/video10"); a total order: names that differ
// only in leading zeros sort by them ("/dev/video2" before "/dev/video02").
bool naturalLess(const std::string& a, const std::string& b);

// Installs the system's drivers in the capture driver list: one per camera
// listed as "Video/Source" (in a stable order, identical names told apart as
// "Name", "Name (2)"), then the test pattern. From then on the device monitor
// runs and reports to the capture service: a camera's removal, its return
// (found again by identity), a new camera (added before the test pattern).
// When the PipeWire daemon is replaced, the monitor starts again. Call from
// the UI thread, whose event loop delivers the monitor's messages.
void installDrivers();
// Stops following devices and empties the driver list, then waits for the
// drivers' sessions to end, 1 s at most.
void uninstallDrivers();

}  // namespace gstcapture
