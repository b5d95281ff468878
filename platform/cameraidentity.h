#pragma once
// What a camera is known by across unplugging and restarts: the keys read
// from its device's properties, which known camera a device is, the text that
// names a camera for a later run, and the stable order cameras are listed in.
// Plain text in, plain text out: no GStreamer, no Qt.
#include <functional>
#include <string>
#include <vector>

namespace cameraidentity {

// What a camera is known by, strongest first.
struct DeviceKeys {
  std::string serial;    // udev serial (for many webcams only vendor and model)
  std::string busPath;   // USB/PCI path, V4L2 bus info
  std::string nodeName;  // PipeWire node name
  std::string path;      // device node (/dev/videoN)
};

// The keys of a device whose property of each name is property(name) (empty
// when it has none), as V4L2 and PipeWire devices name them.
DeviceKeys readKeys(const std::function<std::string(const char*)>& property);

// Which of the cameras known in this run a device is: the one whose
// strongest key that no other known camera shares is the device's too, with
// no stronger key that differs; -1 for none. So twins that share a serial are
// told apart by their ports, and a camera with a serial of its own is known
// by it in any port.
int identify(const std::vector<DeviceKeys>& known, const DeviceKeys& device);

// What names camera i across runs: its strongest key that no other known
// camera shares, as "serial:…", "bus:…", "node:…" or "path:…"; "name:" and
// its list name when it has none.
std::string identityText(const std::vector<DeviceKeys>& known, size_t i, const std::string& listName);

// Whether a sorts before b, comparing runs of digits by their value
// ("/dev/video2" before "/dev/video10"); a total order: names that differ
// only in leading zeros sort by them ("/dev/video2" before "/dev/video02").
bool naturalLess(const std::string& a, const std::string& b);

// What cameras found at start are listed in the order of (by naturalLess):
// the device path, else the PipeWire node name, else the name.
std::string orderKey(const DeviceKeys& keys, const std::string& name);

}  // namespace cameraidentity
