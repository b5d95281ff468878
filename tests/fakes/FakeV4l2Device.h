#pragma once
// A V4L2 camera as its driver answers the control ioctls: ranges, steps and
// menus, integers clamped to their range and step, a manual value refused
// (EACCES) while its automatic mode is on, ENODEV once it is unplugged.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/v4l2device.h"

namespace fakes {

struct FakeControl {
  uint32_t type = 1;  // V4L2_CTRL_TYPE_*
  int64_t minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
  std::vector<std::string> menu;  // names by index from minimum; "" for an index the driver skips
  uint32_t automatic = 0;         // refused while this control is not at manualMode
  int64_t manualMode = 0;
};

class FakeV4l2Device : public v4l2device::System {
 public:
  // A webcam: automatic exposure (a menu with manual 1 and aperture priority
  // 3), exposure time 3-2047, gain 0-255, automatic white balance and its
  // temperature 2800-6500 in steps of 10, brightness -64-64, power-line menu.
  static FakeV4l2Device webcam(std::string path = "/dev/video7");

  explicit FakeV4l2Device(std::string path) : path_(std::move(path)) {}

  std::map<uint32_t, FakeControl> controls;
  bool plugged = true;
  // Every value written and taken, in order: (id, value).
  std::vector<std::pair<uint32_t, int64_t>> writes;

  // Back as plugged in afresh: every control at its default.
  void replug();

  int open(const std::string& path) override;
  int ioctl(int fd, unsigned long request, void* arg) override;
  void close(int) override {}

 private:
  std::string path_;
};

}  // namespace fakes
