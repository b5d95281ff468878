#include "platform/gstcapture.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/avicap32.h"
#include "platform/gstmode.h"
#include "platform/gstref.h"
#include "platform/gststill.h"

namespace gstcapture {
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

std::string propertyText(const GstStructure* props, const char* field) {
  const gchar* v = props ? gst_structure_get_string(props, field) : nullptr;
  return v ? v : "";
}

// What is known of one device when it is listed.
struct DeviceInfo {
  DevicePtr device;
  std::string name;  // as the device names itself
  DeviceKeys keys;
};

DeviceInfo describe(GstDevice* device) {
  DeviceInfo info;
  info.device.reset(GST_DEVICE(gst_object_ref(device)));
  info.name = takeString(gst_device_get_display_name(device));
  StructurePtr props(gst_device_get_properties(device));
  const auto first = [&](std::initializer_list<const char*> fields) {
    for (const char* f : fields) {
      std::string v = propertyText(props.get(), f);
      if (!v.empty()) return v;
    }
    return std::string();
  };
  info.keys.serial = first({"device.serial"});
  info.keys.busPath = first({"device.bus_path", "api.v4l2.cap.bus_info", "v4l2.device.bus_info"});
  info.keys.nodeName = first({"node.name"});
  info.keys.path = first({"api.v4l2.path", "device.path", "object.path"});
  return info;
}

// ---- One camera of the list, for the whole run; its device changes as the
// camera goes and comes back.

class CameraDriver : public PipelineDriver {
 public:
  CameraDriver(std::string listName, DeviceKeys keys)
      : PipelineDriver(std::move(listName)), keys_(std::move(keys)) {}

  const DeviceKeys& keys() const { return keys_; }
  std::string identity() const override { return identity_; }
  void setIdentity(std::string identity) { identity_ = std::move(identity); }
  // The device now behind this camera; null while it is away.
  void setDevice(GstDevice* device) {
    // Plugged in again: a session that hung on the device before is left to
    // end by itself.
    if (device && hung()) forgetStopping();
    device_.reset(device ? GST_DEVICE(gst_object_ref(device)) : nullptr);
    if (!device) gone_ = true;
  }
  GstDevice* device() const { return device_.get(); }

  bool connect(int width, int height, int fps) override {
    gone_ = false;
    // Away: connected without a source, waiting for the device.
    if (!device_) {
      disconnect();
      return true;
    }
    return PipelineDriver::connect(width, height, fps);
  }
  bool isLive() override { return device_ && !gone_ && PipelineDriver::isLive(); }

 protected:
  GstElement* build(int width, int height, int fps) override {
    if (!device_) return nullptr;
    CapsPtr all(gst_device_get_caps(device_.get()));
    CapsPtr mode(pickCaps(all.get(), width, height, fps, fullSize()));
    if (!mode) return nullptr;
    const bool jpeg = gst_structure_has_name(gst_caps_get_structure(mode.get(), 0), "image/jpeg");
    // One flat pipeline: the mode's capsfilter, the branch keeping full-size
    // samples when asked, the decoder MJPEG needs, the chain; the device's
    // own element is linked in front.
    ElementPtr pipeline(parseLaunch(std::string("capsfilter name=mode ! ") +
                                    (fullSize() ? stillBranch() + " t. ! " : "") +
                                    // MJPEG frames are dropped before they are decoded.
                                    (jpeg ? "videorate drop-only=true ! image/jpeg,framerate=[1/1," +
                                                std::to_string(fps) + "/1] ! jpegdec ! "
                                          : "") +
                                    cameraChain(width, height, fps)));
    ElementPtr source = adopt(gst_device_create_element(device_.get(), nullptr));
    if (!pipeline || !source) return nullptr;
    // Buffers stamped on arrival: some sources send none, or times that jump
    // when their stream is rebuilt, which would hold the rate limiter.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(source.get()), "do-timestamp")) {
      g_object_set(source.get(), "do-timestamp", TRUE, nullptr);
    }
    ElementPtr filter(gst_bin_get_by_name(GST_BIN(pipeline.get()), "mode"));
    g_object_set(filter.get(), "caps", mode.get(), nullptr);
    gst_bin_add(GST_BIN(pipeline.get()), source.get());  // the bin takes a reference of its own
    if (!gst_element_link(source.get(), filter.get())) return nullptr;
    return pipeline.release();
  }

 private:
  DeviceKeys keys_;  // as first seen
  std::string identity_;
  DevicePtr device_;
  bool gone_ = false;  // the device went away since the last Connect
};

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
// inode); none without it. PipeWire's device provider says nothing when its
// daemon goes away, nor finds a new one.
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

// ---- The devices followed

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

  GstBus* bus() const { return gst_device_monitor_get_bus(monitor_); }

  std::vector<DeviceInfo> present() {
    GstDeviceProvider* own = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (own_) own = GST_DEVICE_PROVIDER(gst_object_ref(own_));
    }
    std::vector<DeviceInfo> out;
    const auto take = [&](GList* list) {
      for (GList* l = list; l; l = l->next) {
        auto* d = GST_DEVICE(l->data);
        if (!leftAside(d) && gst_device_has_classes(d, kClass)) out.push_back(describe(d));
        gst_object_unref(d);
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

  // Whether a device comes from a PipeWire provider left aside.
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

class Cameras : public avicap32::DriverProvider, public std::enable_shared_from_this<Cameras> {
 public:
  Cameras() : testPattern_(makeTestPattern()), daemon_(pipewireDaemon()) {
    BusPtr bus(DeviceSources::get().bus());
    dropOldMessages(bus.get());
    watch_ = gst_bus_add_watch(bus.get(), &Cameras::onMessage, this);
    check_ = g_timeout_add(kDaemonCheckMs, &Cameras::onCheck, this);

    std::vector<DeviceInfo> found = DeviceSources::get().present();
    // A stable order: by device path (numbers by value, /dev/video2 before
    // /dev/video10), else by PipeWire node name, else by name.
    const auto key = [](const DeviceInfo& d) {
      return !d.keys.path.empty() ? d.keys.path : !d.keys.nodeName.empty() ? d.keys.nodeName : d.name;
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](const DeviceInfo& a, const DeviceInfo& b) { return naturalLess(key(a), key(b)); });
    for (const DeviceInfo& d : found) add(d);
  }

  ~Cameras() override {
    g_source_remove(check_);
    g_source_remove(watch_);
  }

  avicap32::DriverList drivers() override {
    avicap32::DriverList list(cameras_.begin(), cameras_.end());
    list.push_back(testPattern_);
    return list;
  }

  void watch(avicap32::DriverObserver* observer) override { observer_ = observer; }

 private:
  static gboolean onMessage(GstBus*, GstMessage* msg, gpointer self) {
    auto* s = static_cast<Cameras*>(self);
    GstDevice* device = nullptr;
    switch (GST_MESSAGE_TYPE(msg)) {
      case GST_MESSAGE_DEVICE_ADDED:
        gst_message_parse_device_added(msg, &device);
        if (!DeviceSources::get().leftAside(device)) s->added(describe(device));
        break;
      case GST_MESSAGE_DEVICE_REMOVED:
        gst_message_parse_device_removed(msg, &device);
        s->removed(device);
        break;
      default:
        break;
    }
    if (device) gst_object_unref(device);
    return G_SOURCE_CONTINUE;
  }

  static gboolean onCheck(gpointer self) {
    static_cast<Cameras*>(self)->checkDaemon();
    return G_SOURCE_CONTINUE;
  }

  // What the monitor posted before now is old news: the devices present now
  // are read next.
  static void dropOldMessages(GstBus* bus) {
    while (MessagePtr old{gst_bus_pop(bus)}) {
    }
  }

  // The keys of the cameras known in this run, in list order.
  std::vector<DeviceKeys> knownKeys() const {
    std::vector<DeviceKeys> all;
    for (const auto& c : cameras_) all.push_back(c->keys());
    return all;
  }

  // A camera's list name: its own, told apart from earlier entries of the
  // same name by a number.
  std::string listName(const std::string& name) {
    const int n = ++named_[name];
    return n == 1 ? name : name + " (" + std::to_string(n) + ")";
  }

  std::shared_ptr<CameraDriver> add(const DeviceInfo& d) {
    auto camera = std::make_shared<CameraDriver>(listName(d.name), d.keys);
    camera->setDevice(d.device.get());
    cameras_.push_back(camera);
    // What names each camera across runs: its strongest key of its own,
    // which a newcomer may have made shared.
    const std::vector<DeviceKeys> all = knownKeys();
    for (size_t i = 0; i < cameras_.size(); ++i) {
      const int k = ownKey(all, i);
      cameras_[i]->setIdentity(k < 0 ? "name:" + cameras_[i]->description()
                                     : kKeyNames[static_cast<size_t>(k)] +
                                           all[i].*kKeys[static_cast<size_t>(k)]);
    }
    return camera;
  }

  void added(const DeviceInfo& d) {
    for (const auto& camera : cameras_) {
      if (camera->device() == d.device.get()) return;  // listed again after a restart
    }
    const int i = identify(knownKeys(), d.keys);
    // A camera that is present is not this one (its twin, say): a new entry.
    if (i < 0 || cameras_[static_cast<size_t>(i)]->device()) {
      auto camera = add(d);
      if (observer_) observer_->driverAdded(camera, cameras_.size() - 1);
      return;
    }
    // The camera is back (under a new device path or object id).
    CameraDriver& camera = *cameras_[static_cast<size_t>(i)];
    camera.setDevice(d.device.get());
    if (observer_) observer_->deviceReturned(camera);
  }

  void removed(GstDevice* device) {
    for (const auto& camera : cameras_) {
      if (camera->device() != device) continue;
      camera->setDevice(nullptr);
      if (observer_) observer_->deviceRemoved(*camera);
    }
  }

  // A PipeWire daemon went, came or was replaced: a new provider follows the
  // daemon there is now. It starts on a thread of its own (a daemon that does
  // not answer would hold the start), then the cameras are brought up to
  // date here.
  void checkDaemon() {
    const DaemonId now = pipewireDaemon();
    if (now == daemon_ || restarting_) return;
    daemon_ = now;
    restarting_ = true;
    GstDeviceProvider* stop = DeviceSources::get().leaveAside();
    for (const auto& camera : cameras_) {
      if (camera->device() && DeviceSources::get().leftAside(camera->device())) removed(camera->device());
    }
    auto* self = new std::weak_ptr<Cameras>(weak_from_this());
    std::thread([self, stop] {
      DeviceSources::get().follow(stop);
      g_idle_add_full(G_PRIORITY_DEFAULT, &Cameras::onRestarted, self,
                      [](gpointer p) { delete static_cast<std::weak_ptr<Cameras>*>(p); });
    }).detach();
  }

  static gboolean onRestarted(gpointer self) {
    if (auto cameras = static_cast<std::weak_ptr<Cameras>*>(self)->lock()) cameras->restarted();
    return G_SOURCE_REMOVE;
  }

  // Cameras no longer listed are gone; those listed are found by identity
  // (PipeWire's come back as it publishes them again).
  void restarted() {
    restarting_ = false;
    const std::vector<DeviceInfo> present = DeviceSources::get().present();
    for (const auto& camera : cameras_) {
      GstDevice* held = camera->device();
      const bool listed = std::any_of(present.begin(), present.end(),
                                      [&](const DeviceInfo& d) { return d.device.get() == held; });
      if (held && !listed) removed(held);
    }
    for (const DeviceInfo& d : present) added(d);
  }

  guint watch_ = 0;
  guint check_ = 0;
  std::vector<std::shared_ptr<CameraDriver>> cameras_;
  std::shared_ptr<avicap32::CaptureDriver> testPattern_;
  std::map<std::string, int> named_;
  DaemonId daemon_;
  bool restarting_ = false;
  avicap32::DriverObserver* observer_ = nullptr;
};

}  // namespace

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

void installDrivers() {
  ensureInit();
  avicap32::installProvider(std::make_shared<Cameras>());
}

void uninstallDrivers() {
  avicap32::resetDrivers();
  // The program's end waits for its pipelines to stop, but not for a
  // device that does not answer: all of the end stays within 2 s.
  waitForSessions(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

}  // namespace gstcapture
