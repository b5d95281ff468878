#include "camera/cameracontrols.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include "camera/controldevice.h"

namespace camera {
namespace {

// The controls the program knows, by V4L2 id, with V4L2's names for them.
struct Known {
  uint32_t id;
  const char* name;
  const char* label;
  uint32_t automatic = 0;  // the automatic control that governs it
  int64_t manualMode = 0;  // that control's value leaving this one to the user
};

constexpr std::array kKnown = {
    Known{V4L2_CID_EXPOSURE_AUTO, "auto_exposure", "Automatic exposure"},
    Known{V4L2_CID_EXPOSURE_ABSOLUTE, "exposure_time_absolute", "Exposure time (0.1 ms)",
          V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
    Known{V4L2_CID_EXPOSURE, "exposure", "Exposure", V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
    Known{V4L2_CID_EXPOSURE_AUTO_PRIORITY, "exposure_dynamic_framerate", "Exposure may lower the frame rate"},
    Known{V4L2_CID_AUTOGAIN, "gain_automatic", "Automatic gain"},
    Known{V4L2_CID_GAIN, "gain", "Gain", V4L2_CID_AUTOGAIN, 0},
    Known{V4L2_CID_AUTO_WHITE_BALANCE, "white_balance_automatic", "Automatic white balance"},
    Known{V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance_temperature", "White balance (K)",
          V4L2_CID_AUTO_WHITE_BALANCE, 0},
    Known{V4L2_CID_FOCUS_AUTO, "focus_automatic_continuous", "Autofocus"},
    Known{V4L2_CID_FOCUS_ABSOLUTE, "focus_absolute", "Focus", V4L2_CID_FOCUS_AUTO, 0},
    Known{V4L2_CID_BRIGHTNESS, "brightness", "Brightness"},
    Known{V4L2_CID_CONTRAST, "contrast", "Contrast"},
    Known{V4L2_CID_SATURATION, "saturation", "Saturation"},
    Known{V4L2_CID_HUE, "hue", "Hue"},
    Known{V4L2_CID_GAMMA, "gamma", "Gamma"},
    Known{V4L2_CID_SHARPNESS, "sharpness", "Sharpness"},
    Known{V4L2_CID_POWER_LINE_FREQUENCY, "power_line_frequency", "Power-line frequency"},
    Known{V4L2_CID_BACKLIGHT_COMPENSATION, "backlight_compensation", "Backlight compensation"},
    Known{V4L2_CID_ZOOM_ABSOLUTE, "zoom_absolute", "Zoom"},
    Known{V4L2_CID_PAN_ABSOLUTE, "pan_absolute", "Pan"},
    Known{V4L2_CID_TILT_ABSOLUTE, "tilt_absolute", "Tilt"},
};

// The manual controls that holding the picture fixes.
constexpr std::array<uint32_t, 5> kHeld = {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE, V4L2_CID_GAIN,
                                           V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_FOCUS_ABSOLUTE};

const Known* known(uint32_t id) {
  const auto it = std::find_if(kKnown.begin(), kKnown.end(), [&](const Known& k) { return k.id == id; });
  return it == kKnown.end() ? nullptr : &*it;
}

// A camera's controls as the program knows them, over the device that
// reaches them.
class Node {
 public:
  explicit Node(const std::string& address) : device_(openControls(address)) {}

  bool open() const { return device_->open(); }
  const std::string& error() const { return device_->error(); }
  std::optional<int64_t> get(uint32_t id) { return device_->get(id); }

  // Writes a value and reads back the one in force.
  Outcome write(const std::string& name, uint32_t id, int64_t value) {
    Outcome o{name, value, std::nullopt, device_->set(id, value)};
    o.inForce = get(id);
    if (o.problem.empty() && o.inForce && *o.inForce != value)
      o.problem = "set to " + std::to_string(*o.inForce) + " by the camera";
    return o;
  }

  // The controls offered that the program knows, named as V4L2 names them.
  std::vector<Control> controls() {
    std::vector<Control> all;
    for (Control& c : device_->controls()) {
      const Known* k = known(c.id);
      if (!k) continue;
      c.name = k->name;
      c.label = k->label;
      c.automatic = k->automatic;
      c.manualMode = k->manualMode;
      all.push_back(std::move(c));
    }
    // In the program's order, each automatic mode before what it governs,
    // whatever order the device gives them in.
    std::stable_sort(all.begin(), all.end(),
                     [](const Control& a, const Control& b) { return known(a.id) < known(b.id); });
    return all;
  }

 private:
  std::unique_ptr<ControlDevice> device_;
};

}  // namespace

std::optional<uint32_t> controlId(const std::string& name) {
  for (const Known& k : kKnown) {
    if (name == k.name) return k.id;
  }
  return std::nullopt;
}

std::string controlName(uint32_t id) {
  const Known* k = known(id);
  return k ? k->name : std::string();
}

std::vector<std::string> heldControls() {
  std::vector<std::string> names;
  for (uint32_t id : kHeld) names.push_back(controlName(id));
  return names;
}

Listing listControls(const std::string& device) {
  Node node(device);
  Listing listing;
  if (node.open()) listing.controls = node.controls();
  listing.error = node.error();
  return listing;
}

std::vector<Outcome> applyValues(const std::string& device, const Values& values) {
  Node node(device);
  std::vector<Outcome> outcomes;
  const std::vector<Control> offered = node.open() ? node.controls() : std::vector<Control>{};
  std::map<uint32_t, const Control*> byId;
  for (const Control& c : offered) byId[c.id] = &c;
  // Automatic modes before the manual values they govern.
  Values ordered = values;
  std::stable_partition(ordered.begin(), ordered.end(), [&](const auto& v) {
    const std::optional<uint32_t> id = controlId(v.first);
    return id &&
           std::any_of(offered.begin(), offered.end(), [&](const Control& c) { return c.automatic == *id; });
  });
  std::map<uint32_t, int64_t> written;
  for (const auto& [name, value] : ordered) {
    const std::optional<uint32_t> id = controlId(name);
    const auto it = id ? byId.find(*id) : byId.end();
    if (it == byId.end()) {
      outcomes.push_back(
          {name, value, std::nullopt, node.open() ? "not offered by the camera" : node.error()});
      continue;
    }
    const Control& c = *it->second;
    if (c.automatic && byId.count(c.automatic)) {
      const auto automatic = written.find(c.automatic);
      if (automatic != written.end() && automatic->second != c.manualMode) {
        outcomes.push_back({name, value, node.get(c.id), "left to the automatic mode"});
        continue;
      }
      // The automatic mode off first: a driver refuses a manual value while it is on.
      if (automatic == written.end() && node.get(c.automatic) != c.manualMode) {
        outcomes.push_back(node.write(controlName(c.automatic), c.automatic, c.manualMode));
        written[c.automatic] = c.manualMode;
      }
    }
    outcomes.push_back(node.write(name, c.id, value));
    written[c.id] = value;
  }
  return outcomes;
}

std::vector<Outcome> holdPicture(const std::string& device) {
  Node node(device);
  std::vector<Outcome> outcomes;
  if (!node.open()) return outcomes;
  std::map<uint32_t, Control> byId;
  for (Control& c : node.controls()) byId[c.id] = std::move(c);
  for (uint32_t id : kHeld) {
    const auto manual = byId.find(id);
    if (manual == byId.end()) continue;
    const Control& c = manual->second;
    const auto automatic = byId.find(c.automatic);
    if (automatic == byId.end()) continue;
    // The value the automatic mode settled on, read while it is still on.
    const std::optional<int64_t> settled = node.get(id);
    if (node.get(c.automatic) != c.manualMode) {
      outcomes.push_back(node.write(automatic->second.name, c.automatic, c.manualMode));
    }
    if (settled) outcomes.push_back(node.write(c.name, id, *settled));
  }
  return outcomes;
}

Values readValues(const std::string& device, const std::vector<std::string>& names) {
  Node node(device);
  Values values;
  if (!node.open()) return values;
  for (const std::string& name : names) {
    const std::optional<uint32_t> id = controlId(name);
    if (!id) continue;
    if (const std::optional<int64_t> v = node.get(*id)) values.emplace_back(name, *v);
  }
  return values;
}

std::optional<std::string> parseAssignment(const std::string& text, std::pair<std::string, int64_t>& out) {
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  if (eq == std::string::npos || !controlId(name))
    return "'" + text + "' is not NAME=VALUE with a V4L2 control name (--list-controls lists them)";
  const std::string value = text.substr(eq + 1);
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (value.empty() || ec != std::errc() || end != value.data() + value.size())
    return "'" + value + "' is not a whole number for " + name;
  out = {name, v};
  return std::nullopt;
}

std::string describe(const Control& c) {
  std::string line = c.name;
  switch (c.type) {
    case Type::Integer:
      line += " (int): min=" + std::to_string(c.minimum) + " max=" + std::to_string(c.maximum) +
              " step=" + std::to_string(c.step);
      break;
    case Type::Boolean:
      line += " (bool):";
      break;
    case Type::Menu:
      line += " (menu):";
      for (const MenuEntry& e : c.menu) line += " " + std::to_string(e.value) + "=" + e.name + ";";
      if (!c.menu.empty()) line.pop_back();
      break;
  }
  line += " default=" + std::to_string(c.defaultValue) + " value=" + std::to_string(c.current);
  if (c.readOnly) line += " read-only";
  return line;
}

}  // namespace camera
