#include "platform/pipewirerestart.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

namespace gstcapture {
namespace {

// The PipeWire daemon's socket for this session, as libpipewire finds it;
// empty when there is no place for one.
std::string pipewireSocket() {
  const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
  if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
  const char* name = std::getenv("PIPEWIRE_REMOTE");
  if (!name || !*name) name = "pipewire-0";
  if (name[0] == '/') return name;
  return dir && *dir ? std::string(dir) + "/" + name : std::string();
}

// The PipeWire daemon serving this session: its socket file, told by device,
// inode and change time (a new daemon makes a new one, maybe under a freed
// inode); none without it.
using DaemonId = std::optional<std::tuple<dev_t, ino_t, time_t, long>>;

DaemonId pipewireDaemon() {
  struct stat st {};
  const std::string path = pipewireSocket();
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_tuple(st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
}

// A new connection to the PipeWire daemon; -1 when none answers.
int connectToDaemon() {
  const std::string path = pipewireSocket();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

constexpr const char* kClass = "Video/Source";

// The device monitor's "Video/Source" devices, kept for the whole run (it is
// never stopped: stopping PipeWire's device provider (0.3.65) while it is
// connected races its own thread and may free the same object twice). Once
// the PipeWire daemon was replaced, the monitor's PipeWire provider, whose
// connection died, is left aside, and a provider of its own takes its place,
// made afresh for each new daemon over a connection of its own: PipeWire's
// elements share one connection per socket, so a dead one still held (by the
// monitor's provider, by a pipeline that has not stopped) would be handed to
// a provider started again, which then waits for ever. Its messages are
// passed on to the monitor's bus.
class DeviceSources {
 public:
  static DeviceSources& get() {
    static auto* const sources = new DeviceSources;
    return *sources;
  }

  BusPtr bus() const { return BusPtr(gst_device_monitor_get_bus(monitor_)); }

  std::vector<DevicePtr> present() {
    GstDeviceProvider* own = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (own_) own = GST_DEVICE_PROVIDER(gst_object_ref(own_));
    }
    std::vector<DevicePtr> out;
    const auto take = [&](GList* list) {
      for (GList* l = list; l; l = l->next) {
        DevicePtr d(GST_DEVICE(l->data));
        if (!leftAside(d.get()) && gst_device_has_classes(d.get(), kClass)) out.push_back(std::move(d));
      }
      g_list_free(list);
    };
    take(gst_device_monitor_get_devices(monitor_));
    if (own) {
      take(gst_device_provider_get_devices(own));
      gst_object_unref(own);
    }
    return out;
  }

  bool leftAside(GstDevice* device) {
    GstObject* parent = gst_object_get_parent(GST_OBJECT(device));
    if (parent) gst_object_unref(parent);
    std::lock_guard lock(mutex_);
    return parent && std::find(aside_.begin(), aside_.end(), GST_DEVICE_PROVIDER(parent)) != aside_.end();
  }

  // The PipeWire daemon changed: the provider that followed the one before is
  // left aside, its devices gone with it. Returns it to be stopped, null for
  // the monitor's own (never stopped).
  GstDeviceProvider* leaveAside() {
    std::lock_guard lock(mutex_);
    if (!monitorsPipeWire_) return nullptr;
    GstDeviceProvider* old = own_ ? own_ : monitorsPipeWire_;
    aside_.push_back(old);
    own_ = nullptr;
    return old == monitorsPipeWire_ ? nullptr : old;
  }

  // Follows the daemon there is now (if any) with a new provider, once the
  // one left aside (if given) has stopped: its daemon is gone, so it is quiet
  // and stops safely. Waits on the daemon: for a thread of its own.
  void follow(GstDeviceProvider* stop) {
    if (stop) gst_device_provider_stop(stop);
    // The connection stays open for the run: its number names a shared
    // connection inside PipeWire's elements, and used again it would name an
    // old one.
    const int fd = monitorsPipeWire_ ? connectToDaemon() : -1;
    if (fd < 0) return;
    auto* fresh = GST_DEVICE_PROVIDER(
        gst_object_ref_sink(g_object_new(G_OBJECT_TYPE(monitorsPipeWire_), "fd", fd, nullptr)));
    BusPtr bus(gst_device_provider_get_bus(fresh));
    gst_bus_set_sync_handler(bus.get(), &DeviceSources::passOn, gst_device_monitor_get_bus(monitor_),
                             gst_object_unref);
    gst_device_provider_start(fresh);
    std::lock_guard lock(mutex_);
    own_ = fresh;
  }

 private:
  DeviceSources() : monitor_(gst_device_monitor_new()) {
    gst_device_monitor_add_filter(monitor_, kClass, nullptr);
    gst_device_monitor_start(monitor_);
    if (GstDeviceProviderFactory* f = gst_device_provider_factory_find("pipewiredeviceprovider")) {
      monitorsPipeWire_ = gst_device_provider_factory_get(f);
      gst_object_unref(f);
    }
  }

  static GstBusSyncReply passOn(GstBus*, GstMessage* msg, gpointer monitorBus) {
    GstDevice* device = nullptr;
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_DEVICE_ADDED) gst_message_parse_device_added(msg, &device);
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_DEVICE_REMOVED) gst_message_parse_device_removed(msg, &device);
    if (device && gst_device_has_classes(device, kClass))
      gst_bus_post(GST_BUS(monitorBus), gst_message_ref(msg));
    if (device) gst_object_unref(device);
    return GST_BUS_DROP;
  }

  GstDeviceMonitor* monitor_;
  GstDeviceProvider* monitorsPipeWire_ = nullptr;  // the monitor's own (a singleton)
  std::mutex mutex_;
  GstDeviceProvider* own_ = nullptr;       // made for the daemon there is now
  std::vector<GstDeviceProvider*> aside_;  // those that followed daemons gone, kept
};

// How often the daemon's socket is looked at.
constexpr guint kDaemonCheckMs = 500;

}  // namespace

namespace devicesources {

BusPtr bus() { return DeviceSources::get().bus(); }
std::vector<DevicePtr> present() { return DeviceSources::get().present(); }
bool leftAside(GstDevice* device) { return DeviceSources::get().leftAside(device); }

}  // namespace devicesources

struct DaemonWatch::State : std::enable_shared_from_this<DaemonWatch::State> {
  std::function<void()> replaced, followed;
  DaemonId daemon = pipewireDaemon();
  bool following = false;  // a new provider is on its way

  static gboolean onCheck(gpointer self) {
    static_cast<State*>(self)->check();
    return G_SOURCE_CONTINUE;
  }

  void check() {
    const DaemonId now = pipewireDaemon();
    if (now == daemon || following) return;
    daemon = now;
    following = true;
    GstDeviceProvider* stop = DeviceSources::get().leaveAside();
    replaced();
    auto* self = new std::weak_ptr<State>(weak_from_this());
    std::thread([self, stop] {
      DeviceSources::get().follow(stop);
      g_idle_add_full(G_PRIORITY_DEFAULT, &State::onFollowed, self,
                      [](gpointer p) { delete static_cast<std::weak_ptr<State>*>(p); });
    }).detach();
  }

  static gboolean onFollowed(gpointer self) {
    if (auto state = static_cast<std::weak_ptr<State>*>(self)->lock()) {
      state->following = false;
      state->followed();
    }
    return G_SOURCE_REMOVE;
  }
};

DaemonWatch::DaemonWatch(std::function<void()> replaced, std::function<void()> followed)
    : state_(std::make_shared<State>()) {
  state_->replaced = std::move(replaced);
  state_->followed = std::move(followed);
  check_ = g_timeout_add(kDaemonCheckMs, &State::onCheck, state_.get());
}

DaemonWatch::~DaemonWatch() { g_source_remove(check_); }

}  // namespace gstcapture
