#pragma once
// The system's capture drivers over GStreamer: the cameras the device
// monitor finds (V4L2 devices and PipeWire nodes alike), known by their
// identity for the whole run, then the built-in test pattern.
#include <string>

namespace gstcapture {

// Installs the system's drivers in the capture driver list: one per camera
// listed as "Video/Source" (in a stable order, identical names told apart as
// "Name", "Name (2)"), then the test pattern. From then on the device monitor
// runs and reports to the capture service: a camera's removal, its return
// (found again by identity), a new camera (added before the test pattern).
// When the PipeWire daemon is replaced, the cameras follow it. Call from the
// UI thread, whose event loop delivers the monitor's messages.
void installDrivers();
// Stops following devices and empties the driver list, then waits for the
// drivers' sessions to end, 1 s at most.
void uninstallDrivers();

// The GStreamer version text, as drivers give it for their version.
std::string versionText();

}  // namespace gstcapture
