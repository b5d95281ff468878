#include "camera/controldevice.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/pipewirenode.h"
#include "platform/v4l2device.h"

namespace camera {
namespace {

std::string errorText(int error) { return std::strerror(error); }

// A V4L2 device node, open while this lives.
class V4l2Device : public ControlDevice {
 public:
  explicit V4l2Device(const std::string& path) : path_(path), fd_(v4l2device::system().open(path)) {
    if (fd_ < 0) error_ = "cannot open " + path + ": " + errorText(errno);
  }
  ~V4l2Device() override {
    if (fd_ >= 0) v4l2device::system().close(fd_);
  }
  V4l2Device(const V4l2Device&) = delete;
  V4l2Device& operator=(const V4l2Device&) = delete;

  bool open() const override { return fd_ >= 0; }
  const std::string& error() const override { return error_; }

  std::optional<int64_t> get(uint32_t id) override {
    v4l2_ext_control c{};
    c.id = id;
    v4l2_ext_controls cs{};
    cs.which = V4L2_CTRL_WHICH_CUR_VAL;
    cs.count = 1;
    cs.controls = &c;
    if (call(VIDIOC_G_EXT_CTRLS, &cs) != 0) return std::nullopt;
    return int64_t{c.value};
  }

  std::string set(uint32_t id, int64_t value) override {
    v4l2_ext_control c{};
    c.id = id;
    c.value = static_cast<int32_t>(value);
    v4l2_ext_controls cs{};
    cs.which = V4L2_CTRL_WHICH_CUR_VAL;
    cs.count = 1;
    cs.controls = &c;
    const int refused = call(VIDIOC_S_EXT_CTRLS, &cs);
    return refused ? "refused (" + errorText(refused) + ")" : std::string();
  }

  std::vector<Control> controls() override {
    std::vector<Control> all;
    v4l2_query_ext_ctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (call(VIDIOC_QUERY_EXT_CTRL, &q) == 0) {
      const uint32_t id = q.id;
      if (!(q.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_WRITE_ONLY))) {
        Control c;
        c.id = id;
        c.minimum = q.minimum;
        c.maximum = q.maximum;
        c.step = std::max<int64_t>(1, static_cast<int64_t>(q.step));
        c.defaultValue = q.default_value;
        c.readOnly = q.flags & V4L2_CTRL_FLAG_READ_ONLY;
        bool offered = true;
        switch (q.type) {
          case V4L2_CTRL_TYPE_INTEGER:
            c.type = Type::Integer;
            break;
          case V4L2_CTRL_TYPE_BOOLEAN:
            c.type = Type::Boolean;
            break;
          case V4L2_CTRL_TYPE_MENU:
          case V4L2_CTRL_TYPE_INTEGER_MENU:
            c.type = Type::Menu;
            for (int64_t i = q.minimum; i <= q.maximum; ++i) {
              v4l2_querymenu m{};
              m.id = id;
              m.index = static_cast<uint32_t>(i);
              if (call(VIDIOC_QUERYMENU, &m) != 0) continue;  // an index the driver skips
              c.menu.push_back({i, q.type == V4L2_CTRL_TYPE_MENU
                                       ? std::string(reinterpret_cast<char*>(m.name))
                                       : std::to_string(m.value)});
            }
            break;
          default:
            offered = false;  // strings, buttons, compound controls: not offered
        }
        if (offered) {
          c.current = get(id).value_or(c.defaultValue);
          all.push_back(std::move(c));
        }
      }
      q = v4l2_query_ext_ctrl{};
      q.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return all;
  }

 private:
  // 0, or the errno of the call.
  int call(unsigned long request, void* arg) {
    if (v4l2device::system().ioctl(fd_, request, arg) == 0) return 0;
    const int e = errno;
    if (e == ENODEV) error_ = path_ + " is gone";
    return e;
  }

  std::string path_;
  int fd_;
  std::string error_;
};

// A PipeWire node's controls: described once, asked again after a write.
class PipeWireDevice : public ControlDevice {
 public:
  explicit PipeWireDevice(std::string node) : node_(std::move(node)) { refresh(); }

  bool open() const override { return reached_; }
  const std::string& error() const override { return error_; }

  std::vector<Control> controls() override {
    std::vector<Control> all;
    for (const pipewirenode::Property& p : described_.properties) {
      if (!p.control) continue;
      Control c;
      c.id = p.control;
      c.minimum = p.minimum;
      c.maximum = p.maximum;
      c.step = p.step;
      c.defaultValue = p.defaultValue;
      switch (p.kind) {
        case pipewirenode::Property::Kind::Integer:
          c.type = Type::Integer;
          break;
        case pipewirenode::Property::Kind::Boolean:
          c.type = Type::Boolean;
          break;
        case pipewirenode::Property::Kind::Choice:
          c.type = Type::Menu;
          for (const auto& [value, label] : p.labels) c.menu.push_back({value, label});
          break;
      }
      c.current = value(p.id).value_or(c.defaultValue);
      all.push_back(std::move(c));
    }
    return all;
  }

  std::optional<int64_t> get(uint32_t id) override {
    const pipewirenode::Property* p = property(id);
    return p ? value(p->id) : std::nullopt;
  }

  std::string set(uint32_t id, int64_t asked) override {
    const pipewirenode::Property* p = property(id);
    if (!p) return "not offered by the camera";
    const uint32_t key = p->id;
    const std::string refused = pipewirenode::write(node_, {{key, asked}});
    if (!refused.empty()) {
      error_ = refused;
      return "refused (" + refused + ")";
    }
    // The node takes the value on its own loop, a moment after the daemon
    // passed it on: asked again until it shows, or a while passed and the
    // node kept another.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    for (;;) {
      refresh();
      if (!reached_ || value(key) == asked || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return {};
  }

 private:
  void refresh() {
    described_ = pipewirenode::describe(node_);
    reached_ = described_.error.empty();
    error_ = described_.error;
  }

  const pipewirenode::Property* property(uint32_t control) const {
    const auto& all = described_.properties;
    const auto it = std::find_if(all.begin(), all.end(),
                                 [&](const pipewirenode::Property& p) { return p.control == control; });
    return it == all.end() ? nullptr : &*it;
  }

  std::optional<int64_t> value(uint32_t key) const {
    for (const auto& [id, v] : described_.values)
      if (id == key) return v;
    return std::nullopt;
  }

  std::string node_;
  pipewirenode::Description described_;
  bool reached_ = false;
  std::string error_;
};

}  // namespace

std::unique_ptr<ControlDevice> openControls(const std::string& address) {
  if (address.starts_with(kPipeWireNode))
    return std::make_unique<PipeWireDevice>(address.substr(kPipeWireNode.size()));
  return std::make_unique<V4l2Device>(address);
}

}  // namespace camera
