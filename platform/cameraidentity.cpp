#include "platform/cameraidentity.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace cameraidentity {
namespace {

// Keys in the order of their strength, and what names them.
constexpr std::array<std::string DeviceKeys::*, 4> kKeys = {&DeviceKeys::serial, &DeviceKeys::busPath,
                                                            &DeviceKeys::nodeName, &DeviceKeys::path};
constexpr std::array<const char*, 4> kKeyNames = {"serial:", "bus:", "node:", "path:"};

// The strongest key of camera i that no other known camera shares: its
// place in kKeys, -1 when it has none.
int ownKey(const std::vector<DeviceKeys>& known, size_t i) {
  for (size_t k = 0; k < kKeys.size(); ++k) {
    const std::string& value = known[i].*kKeys[k];
    if (value.empty()) continue;
    const auto holders =
        std::count_if(known.begin(), known.end(), [&](const DeviceKeys& o) { return o.*kKeys[k] == value; });
    if (holders == 1) return static_cast<int>(k);
  }
  return -1;
}

}  // namespace

DeviceKeys readKeys(const std::function<std::string(const char*)>& property) {
  const auto first = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      std::string v = property(name);
      if (!v.empty()) return v;
    }
    return std::string();
  };
  DeviceKeys keys;
  keys.serial = first({"device.serial"});
  // V4L2's own device provider, then PipeWire's for a V4L2 node.
  keys.busPath = first({"device.bus_path", "api.v4l2.cap.bus_info", "v4l2.device.bus_info"});
  keys.nodeName = first({"node.name"});
  keys.path = first({"api.v4l2.path", "device.path", "object.path"});
  return keys;
}

int identify(const std::vector<DeviceKeys>& known, const DeviceKeys& device) {
  int best = -1;
  int bestStrength = static_cast<int>(kKeys.size());
  for (size_t i = 0; i < known.size(); ++i) {
    const int k = ownKey(known, i);
    if (k < 0 || k >= bestStrength ||
        device.*kKeys[static_cast<size_t>(k)] != known[i].*kKeys[static_cast<size_t>(k)])
      continue;
    // A stronger key that differs says it is another camera (another model
    // in its port).
    const bool contradicted = std::any_of(kKeys.begin(), kKeys.begin() + k, [&](auto f) {
      return !(known[i].*f).empty() && !(device.*f).empty() && known[i].*f != device.*f;
    });
    if (contradicted) continue;
    best = static_cast<int>(i);
    bestStrength = k;
  }
  return best;
}

std::string identityText(const std::vector<DeviceKeys>& known, size_t i, const std::string& listName) {
  const int k = ownKey(known, i);
  if (k < 0) return "name:" + listName;
  return kKeyNames[static_cast<size_t>(k)] + known[i].*kKeys[static_cast<size_t>(k)];
}

bool naturalLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Compare the numbers without leading zeros: the longer is larger.
      size_t si = a.find_first_not_of('0', i), sj = b.find_first_not_of('0', j);
      si = std::min(si, ei);
      sj = std::min(sj, ej);
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  // Equal but for leading zeros ("video2", "video02"): fewer zeros first, so
  // that no two names are equal and the order never depends on the sort.
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string orderKey(const DeviceKeys& keys, const std::string& name) {
  return !keys.path.empty() ? keys.path : !keys.nodeName.empty() ? keys.nodeName : name;
}

}  // namespace cameraidentity
