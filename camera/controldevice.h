#pragma once
// Where a camera's controls are reached: its V4L2 device node, or the PipeWire
// node of a camera that has none the program can open. Both speak of controls
// by their V4L2 ids; naming them and the order they are written in are the
// caller's.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/cameracontrols.h"

namespace camera {

// The address of a PipeWire node's controls: this and the node's name.
inline constexpr std::string_view kPipeWireNode = "pipewire:";

class ControlDevice {
 public:
  virtual ~ControlDevice() = default;
  // Whether the device could be reached.
  virtual bool open() const = 0;
  // Why it could not be, or that it went away; empty while all is well.
  virtual const std::string& error() const = 0;
  // The controls offered, by V4L2 id, with their types, ranges, menus and
  // values now (names and labels left empty).
  virtual std::vector<Control> controls() = 0;
  virtual std::optional<int64_t> get(uint32_t id) = 0;
  // Writes one value: empty, or how the device refused it.
  virtual std::string set(uint32_t id, int64_t value) = 0;
};

// The device at an address: a V4L2 device node's path, or kPipeWireNode and
// a PipeWire node's name.
std::unique_ptr<ControlDevice> openControls(const std::string& address);

}  // namespace camera
