// Cameras known again by their keys, named for a later run, and listed in a
// stable order: plain tables, no devices (the camera tests read the keys of
// real ones).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/cameraidentity.h"

namespace {

using cameraidentity::DeviceKeys;

TEST(DeviceOrder, NumbersInDevicePathsCompareByValue) {
  std::vector<std::string> paths = {"/dev/video10", "/dev/video2", "/dev/video",
                                    "/dev/video1",  "/dev/media0", "/dev/video02"};
  std::sort(paths.begin(), paths.end(), cameraidentity::naturalLess);
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/media0", "/dev/video", "/dev/video1", "/dev/video2",
                                             "/dev/video02", "/dev/video10"}));
  // A total order: of two different names exactly one comes first.
  for (const std::string& a : paths)
    for (const std::string& b : paths)
      EXPECT_EQ(cameraidentity::naturalLess(a, b) + cameraidentity::naturalLess(b, a), a == b ? 0 : 1)
          << a << " " << b;
}

TEST(CameraIdentity, TheStrongestKeyNoOtherCameraKnownInTheRunShares) {
  // serial, bus path, PipeWire node name, device path
  const std::vector<DeviceKeys> known = {
      {"Acme_0042", "usb-0:1", "", "/dev/video0"},    // 0: a serial of its own
      {"Acme_Twin", "usb-0:2", "", "/dev/video2"},    // 1, 2: twins sharing a serial
      {"Acme_Twin", "usb-0:3", "", "/dev/video4"},    //
      {"", "", "v4l2_input.usb-0_4", "/dev/video6"},  // 3: through PipeWire
      {"", "", "", "/dev/video8"},                    // 4: nothing but its path
      {"", "", "", ""},                               // 5: nothing at all
  };
  const std::vector<std::string> names = {"serial:Acme_0042",        "bus:usb-0:2",      "bus:usb-0:3",
                                          "node:v4l2_input.usb-0_4", "path:/dev/video8", "name:Cam (6)"};
  for (size_t i = 0; i < known.size(); ++i)
    EXPECT_EQ(cameraidentity::identityText(known, i, "Cam (" + std::to_string(i + 1) + ")"), names[i]);

  struct Case {
    const char* what;
    DeviceKeys device;
    int expected;
  };
  const Case cases[] = {
      {"its own serial, in another port, under another path", {"Acme_0042", "usb-0:9", "", "/dev/video7"}, 0},
      {"a twin by its port, whatever its path", {"Acme_Twin", "usb-0:3", "", "/dev/video2"}, 2},
      {"the other twin", {"Acme_Twin", "usb-0:2", "", "/dev/video9"}, 1},
      {"a twin in a third port is neither", {"Acme_Twin", "usb-0:5", "", "/dev/video4"}, -1},
      {"another model in a twin's port", {"Other_0001", "usb-0:2", "", "/dev/video2"}, -1},
      {"a PipeWire node by its name", {"", "", "v4l2_input.usb-0_4", "/dev/video1"}, 3},
      {"by the path only when it has nothing else", {"", "", "", "/dev/video8"}, 4},
      {"nothing in common", {"Other_0001", "usb-0:7", "", ""}, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(cameraidentity::identify(known, c.device), c.expected) << c.what;
}

}  // namespace
