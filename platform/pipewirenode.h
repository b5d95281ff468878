#pragma once
// The controls of a PipeWire node, for a camera the program has no device
// node of to open: what the node describes (SPA_PARAM_PropInfo), the values
// in force (SPA_PARAM_Props), and writing them. The node is found by its
// name on the daemon of the session (PIPEWIRE_RUNTIME_DIR, PIPEWIRE_REMOTE).
// Each call connects, asks, and waits for the daemon's answer no longer than
// its limit, so a daemon that does not answer never holds the caller.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pipewirenode {

inline constexpr std::chrono::milliseconds kAnswerLimit{2000};

// One control as the node describes it. Its id is PipeWire's: SPA_PROP_gain,
// SPA_PROP_exposure and their kin, or SPA_PROP_START_CUSTOM plus the V4L2 id;
// control is the V4L2 id it stands for (0: none known).
struct Property {
  enum class Kind { Integer, Boolean, Choice };
  uint32_t id = 0;
  uint32_t control = 0;
  std::string description;
  Kind kind = Kind::Integer;
  int64_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
  std::vector<std::pair<int64_t, std::string>> labels;  // a choice's values, named
};

// Values by property id (a switch as 0 or 1).
using Values = std::vector<std::pair<uint32_t, int64_t>>;

struct Description {
  std::vector<Property> properties;
  Values values;      // those in force
  std::string error;  // why the node could not be asked; empty when it was
};

// What the node describes, and its values now.
Description describe(const std::string& nodeName);

// Writes values in one SPA_PARAM_Props, in order, each as the type the node
// describes for it; empty, or why not. Ids the node lacks are left out. The
// node decides what it takes: read its values back to see.
std::string write(const std::string& nodeName, const Values& values);

}  // namespace pipewirenode
