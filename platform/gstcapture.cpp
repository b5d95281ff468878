#include "platform/gstcapture.h"

#include <QString>
#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/avicap32.h"
#include "platform/cameraidentity.h"
#include "platform/cameralog.h"
#include "platform/gstmode.h"
#include "platform/gstref.h"
#include "platform/gstsession.h"
#include "platform/gststill.h"
#include "platform/pipewirerestart.h"

namespace gstcapture {
namespace {

using cameraidentity::DeviceKeys;

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
  info.keys = cameraidentity::readKeys([&](const char* field) {
    const gchar* v = props ? gst_structure_get_string(props.get(), field) : nullptr;
    return std::string(v ? v : "");
  });
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

  std::string controlDevice() const override {
    if (!device_) return {};
    StructurePtr props(gst_device_get_properties(device_.get()));
    if (!props) return {};
    // A PipeWire node names its V4L2 device; V4L2's own provider gives its path.
    for (const char* field : {"api.v4l2.path", "device.path"}) {
      const gchar* v = gst_structure_get_string(props.get(), field);
      if (v && g_str_has_prefix(v, "/dev/")) return v;
    }
    // A PipeWire node with no device node of its own: its controls are its
    // node parameters.
    const gchar* node = gst_structure_get_string(props.get(), "node.name");
    return node && *node ? "pipewire:" + std::string(node) : std::string();
  }

 protected:
  GstElement* build(int width, int height, int fps) override {
    if (!device_) return nullptr;
    CapsPtr all(gst_device_get_caps(device_.get()));
    CapsPtr mode(pickCaps(all.get(), width, height, fps, fullSize()));
    if (!mode) {
      qCWarning(cameraLog).noquote() << QString::fromStdString(avicap32::logName(*this))
                                     << "offers no mode that can be shown:"
                                     << QString::fromStdString(all ? takeString(gst_caps_to_string(all.get()))
                                                                   : "");
      return nullptr;
    }
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

class Cameras : public avicap32::DriverProvider {
 public:
  Cameras()
      : testPattern_(makeTestPattern()), daemon_([this] { daemonReplaced(); }, [this] { daemonFollowed(); }) {
    BusPtr bus = devicesources::bus();
    dropOldMessages(bus.get());
    watch_ = gst_bus_add_watch(bus.get(), &Cameras::onMessage, this);

    std::vector<DeviceInfo> found;
    for (const DevicePtr& d : devicesources::present()) found.push_back(describe(d.get()));
    // A stable order: by device path (numbers by value, /dev/video2 before
    // /dev/video10), else by PipeWire node name, else by name.
    std::stable_sort(found.begin(), found.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
      return cameraidentity::naturalLess(cameraidentity::orderKey(a.keys, a.name),
                                         cameraidentity::orderKey(b.keys, b.name));
    });
    for (const DeviceInfo& d : found) add(d);
  }

  ~Cameras() override { g_source_remove(watch_); }

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
        if (!devicesources::leftAside(device)) s->added(describe(device));
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
      cameras_[i]->setIdentity(cameraidentity::identityText(all, i, cameras_[i]->description()));
    }
    return camera;
  }

  void added(const DeviceInfo& d) {
    for (const auto& camera : cameras_) {
      if (camera->device() == d.device.get()) return;  // listed again after a restart
    }
    const int i = cameraidentity::identify(knownKeys(), d.keys);
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

  // The PipeWire daemon went, came or was replaced: its cameras are gone.
  void daemonReplaced() {
    for (const auto& camera : cameras_) {
      if (camera->device() && devicesources::leftAside(camera->device())) removed(camera->device());
    }
  }

  // A provider follows the daemon there is now: cameras no longer listed are
  // gone; those listed are found by identity (PipeWire's come back as it
  // publishes them again).
  void daemonFollowed() {
    std::vector<DeviceInfo> present;
    for (const DevicePtr& d : devicesources::present()) present.push_back(describe(d.get()));
    for (const auto& camera : cameras_) {
      GstDevice* held = camera->device();
      const bool listed = std::any_of(present.begin(), present.end(),
                                      [&](const DeviceInfo& d) { return d.device.get() == held; });
      if (held && !listed) removed(held);
    }
    for (const DeviceInfo& d : present) added(d);
  }

  guint watch_ = 0;
  std::vector<std::shared_ptr<CameraDriver>> cameras_;
  std::shared_ptr<avicap32::CaptureDriver> testPattern_;
  std::map<std::string, int> named_;
  DaemonWatch daemon_;
  avicap32::DriverObserver* observer_ = nullptr;
};

}  // namespace

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

std::string versionText() {
  ensureInit();
  return takeString(gst_version_string());
}

}  // namespace gstcapture
