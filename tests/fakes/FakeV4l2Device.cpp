#include "tests/fakes/FakeV4l2Device.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fakes {

namespace {

FakeControl control(uint32_t type, int64_t min, int64_t max, int64_t step, int64_t def, int64_t value,
                    std::vector<std::string> menu = {}, uint32_t automatic = 0, int64_t manualMode = 0) {
  FakeControl c;
  c.type = type;
  c.minimum = min;
  c.maximum = max;
  c.step = step;
  c.defaultValue = def;
  c.value = value;
  c.menu = std::move(menu);
  c.automatic = automatic;
  c.manualMode = manualMode;
  return c;
}

}  // namespace

FakeV4l2Device FakeV4l2Device::webcam(std::string path) {
  FakeV4l2Device d(std::move(path));
  d.controls[V4L2_CID_BRIGHTNESS] = control(V4L2_CTRL_TYPE_INTEGER, -64, 64, 1, 0, 0);
  d.controls[V4L2_CID_AUTO_WHITE_BALANCE] = control(V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, 1);
  d.controls[V4L2_CID_GAIN] = control(V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 32, 57);
  d.controls[V4L2_CID_POWER_LINE_FREQUENCY] =
      control(V4L2_CTRL_TYPE_MENU, 0, 2, 1, 1, 1, {"Disabled", "50 Hz", "60 Hz"});
  d.controls[V4L2_CID_WHITE_BALANCE_TEMPERATURE] =
      control(V4L2_CTRL_TYPE_INTEGER, 2800, 6500, 10, 4600, 5130, {}, V4L2_CID_AUTO_WHITE_BALANCE, 0);
  d.controls[V4L2_CID_EXPOSURE_AUTO] =
      control(V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3, 3, {"", "Manual Mode", "", "Aperture Priority Mode"});
  d.controls[V4L2_CID_EXPOSURE_ABSOLUTE] =
      control(V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1, 250, 312, {}, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL);
  return d;
}

void FakeV4l2Device::replug() {
  plugged = true;
  for (auto& [id, c] : controls) c.value = c.defaultValue;
}

int FakeV4l2Device::open(const std::string& path) {
  if (path != path_ || !plugged) {
    errno = ENOENT;
    return -1;
  }
  return 3;
}

int FakeV4l2Device::ioctl(int, unsigned long request, void* arg) {
  const auto fail = [](int e) {
    errno = e;
    return -1;
  };
  if (!plugged) return fail(ENODEV);
  if (request == VIDIOC_QUERY_EXT_CTRL) {
    auto* q = static_cast<v4l2_query_ext_ctrl*>(arg);
    const bool next = q->id & V4L2_CTRL_FLAG_NEXT_CTRL;
    const uint32_t id = q->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    const auto it = next ? controls.upper_bound(id) : controls.find(id);
    if (it == controls.end()) return fail(EINVAL);
    *q = v4l2_query_ext_ctrl{};
    q->id = it->first;
    q->type = it->second.type;
    std::snprintf(q->name, sizeof q->name, "Driver Name %u", it->first);
    q->minimum = it->second.minimum;
    q->maximum = it->second.maximum;
    q->step = static_cast<uint64_t>(it->second.step);
    q->default_value = it->second.defaultValue;
    return 0;
  }
  if (request == VIDIOC_QUERYMENU) {
    auto* m = static_cast<v4l2_querymenu*>(arg);
    const auto it = controls.find(m->id);
    if (it == controls.end() || m->index >= it->second.menu.size() || it->second.menu[m->index].empty())
      return fail(EINVAL);
    std::snprintf(reinterpret_cast<char*>(m->name), sizeof m->name, "%s", it->second.menu[m->index].c_str());
    return 0;
  }
  auto* cs = static_cast<v4l2_ext_controls*>(arg);
  if (cs->count != 1) return fail(EINVAL);
  v4l2_ext_control& c = cs->controls[0];
  const auto it = controls.find(c.id);
  if (it == controls.end()) return fail(EINVAL);
  FakeControl& f = it->second;
  if (request == VIDIOC_G_EXT_CTRLS) {
    c.value = static_cast<int32_t>(f.value);
    return 0;
  }
  if (request != VIDIOC_S_EXT_CTRLS) return fail(ENOTTY);
  if (f.automatic && controls.at(f.automatic).value != f.manualMode) return fail(EACCES);
  int64_t v = c.value;
  if (f.type == V4L2_CTRL_TYPE_MENU) {
    if (v < f.minimum || v > f.maximum || f.menu[static_cast<size_t>(v)].empty()) return fail(EINVAL);
  } else {
    // As V4L2's core does: into the range, onto the step.
    v = std::clamp(v, f.minimum, f.maximum);
    v = f.minimum + (v - f.minimum + f.step / 2) / f.step * f.step;
  }
  f.value = v;
  writes.emplace_back(uint32_t{c.id}, v);
  return 0;
}

}  // namespace fakes
