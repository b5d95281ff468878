#pragma once
// A camera's controls, through its V4L2 device node or its PipeWire node (a
// device, as controldevice.h addresses it): what it offers (known by V4L2's
// control ids and named as V4L2 names them, never by a driver's spelling),
// their values now, and writing them. A manual value is written
// after the automatic mode it depends on is switched off; a value the driver
// refuses or clamps is reported with the one in force.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace camera {

enum class Type { Integer, Boolean, Menu };

struct MenuEntry {
  int64_t value = 0;
  std::string name;
};

struct Control {
  uint32_t id = 0;
  std::string name;   // V4L2's lower-case name, such as "exposure_time_absolute"
  std::string label;  // as the dialog shows it, such as "Exposure time (absolute)"
  Type type = Type::Integer;
  int64_t minimum = 0, maximum = 0, step = 1, defaultValue = 0, current = 0;
  std::vector<MenuEntry> menu;  // the entries a menu offers
  // The automatic control this manual one is governed by (0: none), and its
  // value that leaves this one to the user.
  uint32_t automatic = 0;
  int64_t manualMode = 0;
  bool readOnly = false;
};

// Values by name, in the order they are to be written.
using Values = std::vector<std::pair<std::string, int64_t>>;

// What became of one value written.
struct Outcome {
  std::string name;
  int64_t asked = 0;
  std::optional<int64_t> inForce;  // read back after writing; none when unreadable
  std::string problem;             // empty when taken as asked; else what the driver did
};

struct Listing {
  std::vector<Control> controls;
  std::string error;  // why none could be read (no such device, gone, ...)
};

// The controls the device offers, with their values now.
Listing listControls(const std::string& device);

// Writes values in order, each after the automatic mode it depends on has
// been switched off (unless values set that mode themselves, earlier). A
// control the device lacks is reported and skipped.
std::vector<Outcome> applyValues(const std::string& device, const Values& values);

// Holds the picture: automatic exposure, gain, white balance and focus
// switched off, each manual control keeping the value the camera had
// settled on. The manual values in force afterwards.
std::vector<Outcome> holdPicture(const std::string& device);

// The values now of the named controls; those unreadable are left out.
Values readValues(const std::string& device, const std::vector<std::string>& names);

// A V4L2 control id by its V4L2 name, and back; unknown names have none.
std::optional<uint32_t> controlId(const std::string& name);
std::string controlName(uint32_t id);
// The manual controls holding the picture switches to (by name).
std::vector<std::string> heldControls();

// "name=value" to a value: an error text (for one line) when the name is no
// V4L2 control name or the value no whole number.
std::optional<std::string> parseAssignment(const std::string& text, std::pair<std::string, int64_t>& out);

// One line a control, for the command line: name, type, range, default, value.
std::string describe(const Control& control);

}  // namespace camera
