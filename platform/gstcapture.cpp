#include "platform/gstcapture.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/avicap32.h"
#include "platform/gststill.h"

namespace gstcapture {
namespace {

// ---- Owning wrappers: every GStreamer or GLib reference held here is released
// by its owner's destructor.

// An owning pointer that releases with the library's own free function.
template <typename T, auto Release>
struct Releaser {
  void operator()(T* p) const { Release(p); }
};
template <typename T, auto Release>
using Owned = std::unique_ptr<T, Releaser<T, Release>>;

using ElementPtr = Owned<GstElement, gst_object_unref>;
using BusPtr = Owned<GstBus, gst_object_unref>;
using DevicePtr = Owned<GstDevice, gst_object_unref>;
using MessagePtr = Owned<GstMessage, gst_message_unref>;
using SamplePtr = Owned<GstSample, gst_sample_unref>;
using CapsPtr = Owned<GstCaps, gst_caps_unref>;
using StructurePtr = Owned<GstStructure, gst_structure_free>;
using ErrorPtr = Owned<GError, g_error_free>;
using StringPtr = Owned<gchar, g_free>;
using PadPtr = Owned<GstPad, gst_object_unref>;

// Takes ownership of a newly made element, whose reference may be floating.
ElementPtr adopt(GstElement* e) { return ElementPtr(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr); }

std::string takeString(gchar* s) {
  StringPtr owned(s);
  return owned ? std::string(owned.get()) : std::string();
}

void ensureInit() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// The appsink every pipeline ends with: it never waits for the clock or for
// a preroll, and hands each frame to the driver as it arrives.
constexpr const char* kSink = "appsink name=sink max-buffers=1 drop=true sync=false async=false";

// Rate limiting first (dropping frames costs nothing), then scaling in the
// source's own format, then one conversion of the small picture to BGRx. The
// first videoconvert passes through unless videoscale cannot take the format.
// One fixed chain, no decodebin: a chain that relinks itself makes some
// sources (PipeWire's) rebuild their stream.
std::string cameraTail(int width, int height, int fps) {
  // Square pixels: a wide picture is scaled to a wide frame, never squeezed
  // into the preview's shape.
  return "videorate drop-only=true ! videoconvert ! videoscale ! video/x-raw,width=[1," +
         std::to_string(width) + "],height=[1," + std::to_string(height) +
         "],pixel-aspect-ratio=1/1 ! videoconvert ! video/x-raw,format=BGRx,framerate=[1/1," +
         std::to_string(fps) + "/1] ! " + kSink;
}

ElementPtr parseLaunch(const std::string& description) {
  GError* raw = nullptr;
  ElementPtr e = adopt(gst_parse_launch(description.c_str(), &raw));
  ErrorPtr error(raw);
  // A description with a missing element may still yield a partial pipeline.
  if (error) return nullptr;
  return e;
}

// ---- One running pipeline: started and stopped on a thread of its own (a
// device's state change may take long or never end), its newest frame in a
// mutex-guarded slot filled by the streaming thread.

class Session {
 public:
  // Takes a pipeline whose appsink is named "sink"; null when it has none.
  static std::unique_ptr<Session> start(ElementPtr pipeline) {
    if (!pipeline) return nullptr;
    ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    if (!sink || !GST_IS_APP_SINK(sink.get())) return nullptr;
    std::unique_ptr<Session> s(new Session);
    s->pipeline_ = std::move(pipeline);
    s->bus_.reset(gst_element_get_bus(s->pipeline_.get()));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &Session::onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, s.get(), nullptr);
    s->thread_ = std::thread([raw = s.get()] { raw->run(); });
    return s;
  }

  ~Session() {
    stop();
    if (thread_.joinable()) thread_.join();
  }

  // Asks the thread to take the pipeline down, which releases the device.
  void stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    wake_.notify_all();
  }

  bool finished() const { return finished_; }

  std::shared_ptr<const avicap32::VideoFrame> latest() {
    std::lock_guard lock(mutex_);
    return latest_;
  }

  // The newest full-size sample, when the pipeline keeps them.
  std::shared_ptr<const avicap32::StillFrame> latestStill() {
    still_ = newestStill(pipeline_.get(), still_);
    return still_;
  }

  // False after a failed start, an error or the end of the stream. Drains
  // the bus without blocking, so messages never pile up.
  bool healthy() {
    while (MessagePtr msg{gst_bus_pop(bus_.get())}) {
      const GstMessageType type = GST_MESSAGE_TYPE(msg.get());
      if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_EOS) failed_ = true;
    }
    return !failed_;
  }

 private:
  Session() = default;

  void run() {
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) failed_ = true;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_; });
    }
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    // Stopped sessions are no longer asked for frames or messages, so the
    // pipeline can go now rather than with the session.
    bus_.reset();
    pipeline_.reset();
    finished_ = true;
  }

  static GstFlowReturn onSample(GstAppSink* sink, gpointer self) {
    SamplePtr sample(gst_app_sink_pull_sample(sink));
    if (auto frame = toFrame(sample.get())) {
      auto* s = static_cast<Session*>(self);
      std::lock_guard lock(s->mutex_);
      s->latest_ = std::move(frame);
    }
    return GST_FLOW_OK;
  }

  static std::shared_ptr<const avicap32::VideoFrame> toFrame(GstSample* sample) {
    if (!sample) return nullptr;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps)) return nullptr;
    if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRx) return nullptr;
    GstVideoFrame mapped;
    if (!gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ)) return nullptr;
    auto frame = std::make_shared<avicap32::VideoFrame>();
    frame->width = GST_VIDEO_FRAME_WIDTH(&mapped);
    frame->height = GST_VIDEO_FRAME_HEIGHT(&mapped);
    const size_t row = static_cast<size_t>(frame->width) * 4;
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0);
    const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0));
    frame->bgrx.resize(row * static_cast<size_t>(frame->height));
    for (int y = 0; y < frame->height; ++y) {
      std::memcpy(frame->bgrx.data() + row * static_cast<size_t>(y), src + static_cast<ptrdiff_t>(stride) * y,
                  row);
    }
    gst_video_frame_unmap(&mapped);
    return frame;
  }

  ElementPtr pipeline_;
  BusPtr bus_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<bool> finished_ = false;
  std::atomic<bool> failed_ = false;
  std::shared_ptr<const avicap32::VideoFrame> latest_;
  std::shared_ptr<const avicap32::StillFrame> still_;  // UI thread only
};

// ---- Drivers

class PipelineDriver : public avicap32::CaptureDriver {
 public:
  explicit PipelineDriver(std::string description) : description_(std::move(description)) {}
  ~PipelineDriver() override {
    disconnect();
    retired_.clear();  // joins their threads
  }
  std::string description() const override { return description_; }
  std::string version() const override { return versionText(); }
  bool connect(int width, int height, int fps) override {
    ensureInit();
    disconnect();
    session_ = Session::start(build(std::max(width, 1), std::max(height, 1), std::max(fps, 1)));
    return session_ != nullptr;
  }
  std::shared_ptr<const avicap32::VideoFrame> latestFrame() override {
    return session_ ? session_->latest() : nullptr;
  }
  bool isLive() override { return session_ && session_->healthy(); }
  void setFullSize(bool on) override { fullSize_ = on; }
  std::shared_ptr<const avicap32::StillFrame> latestStill() override {
    return session_ ? session_->latestStill() : nullptr;
  }
  void disconnect() override {
    // Sessions that finished stopping are joined; the others go on stopping
    // in the background, so the caller never waits on a device.
    std::erase_if(retired_, [](const std::unique_ptr<Session>& s) { return s->finished(); });
    if (!session_) return;
    session_->stop();
    retired_.push_back(std::move(session_));
  }

 protected:
  // The pipeline for a preview of width x height at up to fps; null when it
  // cannot be made.
  virtual ElementPtr build(int width, int height, int fps) = 0;
  // Whether the pipeline is to keep full-size samples beside the preview.
  bool fullSize() const { return fullSize_; }

 private:
  bool fullSize_ = false;
  std::string description_;
  std::unique_ptr<Session> session_;
  std::vector<std::unique_ptr<Session>> retired_;
};

class LaunchDriver : public PipelineDriver {
 public:
  LaunchDriver(std::string launch, std::string name)
      : PipelineDriver(std::move(name)), launch_(std::move(launch)) {}

 protected:
  ElementPtr build(int, int, int) override { return parseLaunch(launch_); }

 private:
  std::string launch_;
};

class TestPatternDriver : public PipelineDriver {
 public:
  TestPatternDriver() : PipelineDriver("Test pattern") {}

 protected:
  ElementPtr build(int, int, int) override {
    // Scrolling colour bars: moving, yet cheap to draw (a bouncing ball
    // costs twice as much).
    const std::string source = "videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! ";
    if (fullSize()) {
      // 1280 x 720 as its full size; the preview scales it down.
      return parseLaunch(source + "video/x-raw,width=1280,height=720,framerate=15/1 ! clockoverlay ! " +
                         stillBranch() + " t. ! " + cameraTail(320, 240, 15));
    }
    return parseLaunch(source +
                       "video/x-raw,width=320,height=240,framerate=15/1 ! clockoverlay ! videoconvert ! " +
                       "video/x-raw,format=BGRx ! " + kSink);
  }
};

// ---- Cameras

double rate(const Mode& m) { return m.fpsDen > 0 ? static_cast<double>(m.fpsNum) / m.fpsDen : 0.0; }

// The value of an int field nearest to want: the int itself, or want clamped
// into a range.
bool pickInt(const GstStructure* s, const char* field, int want, int* out) {
  const GValue* v = gst_structure_get_value(s, field);
  if (!v) return false;
  if (G_VALUE_HOLDS_INT(v)) {
    *out = g_value_get_int(v);
    return true;
  }
  if (GST_VALUE_HOLDS_INT_RANGE(v)) {
    *out = std::clamp(want, gst_value_get_int_range_min(v), gst_value_get_int_range_max(v));
    return true;
  }
  return false;
}

// The frame rates a structure offers: a fraction, a list of them, or a range
// (from which fps itself, clamped, is taken).
std::vector<std::pair<int, int>> rates(const GstStructure* s, int fps) {
  std::vector<std::pair<int, int>> out;
  const GValue* v = gst_structure_get_value(s, "framerate");
  if (!v) return out;
  const auto add = [&out](const GValue* f) {
    if (GST_VALUE_HOLDS_FRACTION(f)) {
      out.emplace_back(gst_value_get_fraction_numerator(f), gst_value_get_fraction_denominator(f));
    }
  };
  if (GST_VALUE_HOLDS_LIST(v)) {
    for (guint i = 0; i < gst_value_list_get_size(v); ++i) add(gst_value_list_get_value(v, i));
  } else if (GST_VALUE_HOLDS_FRACTION_RANGE(v)) {
    const GValue* lo = gst_value_get_fraction_range_min(v);
    const GValue* hi = gst_value_get_fraction_range_max(v);
    const Mode low{false, 0, 0, gst_value_get_fraction_numerator(lo), gst_value_get_fraction_denominator(lo)};
    const Mode high{false, 0, 0, gst_value_get_fraction_numerator(hi),
                    gst_value_get_fraction_denominator(hi)};
    if (fps < rate(low)) {
      out.emplace_back(low.fpsNum, low.fpsDen);
    } else if (fps > rate(high)) {
      out.emplace_back(high.fpsNum, high.fpsDen);
    } else {
      out.emplace_back(fps, 1);
    }
  } else {
    add(v);
  }
  return out;
}

// Sizes asked of a mode's size ranges for full-size stills: their largest.
constexpr int kAnySize = 1 << 20;

// The fixed caps of the device's cheapest mode for the preview, or with
// fullSize its mode for full-size stills.
CapsPtr pickCaps(const GstCaps* all, int width, int height, int fps, bool fullSize = false) {
  if (!all) return nullptr;
  std::vector<Mode> modes;
  std::vector<guint> from;
  for (guint i = 0; i < gst_caps_get_size(all); ++i) {
    const GstStructure* s = gst_caps_get_structure(all, i);
    const bool jpeg = gst_structure_has_name(s, "image/jpeg");
    if (!jpeg && !gst_structure_has_name(s, "video/x-raw")) continue;
    GstCapsFeatures* features = gst_caps_get_features(all, i);
    if (features && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) continue;
    Mode m;
    m.jpeg = jpeg;
    if (!pickInt(s, "width", width, &m.width) || !pickInt(s, "height", height, &m.height)) continue;
    for (const auto& [num, den] : rates(s, fps)) {
      m.fpsNum = num;
      m.fpsDen = den;
      modes.push_back(m);
      from.push_back(i);
    }
  }
  const int best = fullSize ? pickFullSizeMode(modes, fps) : pickMode(modes, width, height, fps);
  if (best < 0) return nullptr;
  const Mode& m = modes[static_cast<size_t>(best)];
  GstStructure* s = gst_structure_copy(gst_caps_get_structure(all, from[static_cast<size_t>(best)]));
  gst_structure_set(s, "width", G_TYPE_INT, m.width, "height", G_TYPE_INT, m.height, "framerate",
                    GST_TYPE_FRACTION, m.fpsNum, m.fpsDen, nullptr);
  CapsPtr caps(gst_caps_new_empty());
  gst_caps_append_structure(caps.get(), s);
  // Fields left as lists or ranges (a format list, say) take their first value.
  return CapsPtr(gst_caps_fixate(caps.release()));
}

std::string propertyText(const GstStructure* props, const char* field) {
  const gchar* v = props ? gst_structure_get_string(props, field) : nullptr;
  return v ? v : "";
}

// What is known of one device when it is listed.
struct DeviceInfo {
  DevicePtr device;
  std::string name;      // as the device names itself
  std::string serial;    // udev serial, when it has one
  std::string busPath;   // USB/PCI path, bus info
  std::string nodeName;  // PipeWire node name
  std::string path;      // /dev/videoN, for the order of the list only
};

DeviceInfo describe(GstDevice* device) {
  DeviceInfo info;
  info.device.reset(GST_DEVICE(gst_object_ref(device)));
  info.name = takeString(gst_device_get_display_name(device));
  StructurePtr props(gst_device_get_properties(device));
  info.serial = propertyText(props.get(), "device.serial");
  for (const char* f : {"device.bus_path", "api.v4l2.cap.bus_info", "v4l2.device.bus_info"}) {
    if (info.busPath.empty()) info.busPath = propertyText(props.get(), f);
  }
  info.nodeName = propertyText(props.get(), "node.name");
  for (const char* f : {"api.v4l2.path", "device.path", "object.path"}) {
    if (info.path.empty()) info.path = propertyText(props.get(), f);
  }
  return info;
}

// The device's stable identity: what stays the same when it is unplugged
// and plugged in again (never /dev/videoN, nor PipeWire's object ids or
// serials). The udev serial only where no other device shares it.
// The serial comes first: it follows the camera to another USB port, where
// a PipeWire node name made from the port's path would not.
std::string identity(const DeviceInfo& d, const std::vector<const DeviceInfo*>& others) {
  if (!d.serial.empty()) {
    const bool shared = std::any_of(others.begin(), others.end(),
                                    [&](const DeviceInfo* o) { return o != &d && o->serial == d.serial; });
    if (!shared) return "serial:" + d.serial;
  }
  if (!d.nodeName.empty()) return "node:" + d.nodeName;
  if (!d.busPath.empty()) return "bus:" + d.busPath;
  return "name:" + d.name;
}

class CameraDriver : public PipelineDriver {
 public:
  CameraDriver(std::string listName, std::string id)
      : PipelineDriver(std::move(listName)), id_(std::move(id)) {}

  const std::string& id() const { return id_; }
  std::string identity() const override { return id_; }
  // The device now behind this camera; null while it is away.
  void setDevice(GstDevice* device) {
    device_.reset(device ? GST_DEVICE(gst_object_ref(device)) : nullptr);
    if (!device) gone_ = true;
  }
  bool present() const { return device_ != nullptr; }
  bool holds(GstDevice* device) const { return device_.get() == device; }

  bool connect(int width, int height, int fps) override {
    gone_ = false;
    return device_ && PipelineDriver::connect(width, height, fps);
  }
  bool isLive() override { return !gone_ && PipelineDriver::isLive(); }

 protected:
  ElementPtr build(int width, int height, int fps) override {
    CapsPtr all(gst_device_get_caps(device_.get()));
    CapsPtr mode = fullSize() ? pickCaps(all.get(), kAnySize, kAnySize, fps, true)
                              : pickCaps(all.get(), width, height, fps);
    if (!mode) return nullptr;
    const bool jpeg = gst_structure_has_name(gst_caps_get_structure(mode.get(), 0), "image/jpeg");
    // One flat pipeline: the mode's capsfilter, the branch keeping full-size
    // samples when asked, the decoder MJPEG needs, the chain; the device's
    // own element is linked in front.
    ElementPtr pipeline =
        parseLaunch(std::string("capsfilter name=mode ! ") + (fullSize() ? stillBranch() + " t. ! " : "") +
                    // MJPEG frames are dropped before they are decoded.
                    (jpeg ? "videorate drop-only=true ! image/jpeg,framerate=[1/1," + std::to_string(fps) +
                                "/1] ! jpegdec ! "
                          : "") +
                    cameraTail(width, height, fps));
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
    return pipeline;
  }

 private:
  std::string id_;
  DevicePtr device_;
  bool gone_ = false;  // the device went away since the last Connect
};

// ---- The system's drivers and the device monitor behind them.

// The device monitor, started once and kept for the whole run: stopping
// PipeWire's device provider (0.3.65) races its own thread and may free the
// same object twice, so it is never stopped.
GstDeviceMonitor* deviceMonitor() {
  static GstDeviceMonitor* const monitor = [] {
    GstDeviceMonitor* m = gst_device_monitor_new();
    gst_device_monitor_add_filter(m, "Video/Source", nullptr);
    gst_device_monitor_start(m);
    return m;
  }();
  return monitor;
}

class SystemDrivers {
 public:
  SystemDrivers() : monitor_(deviceMonitor()), testPattern_(std::make_shared<TestPatternDriver>()) {
    BusPtr bus(gst_device_monitor_get_bus(monitor_));
    // The monitor outlives an earlier list (it is never stopped): what it
    // posted since is old news, and the devices present now are read below.
    while (MessagePtr stale{gst_bus_pop(bus.get())}) {
    }
    watch_ = gst_bus_add_watch(bus.get(), &SystemDrivers::onMessage, this);

    std::vector<DeviceInfo> found = presentDevices();
    // A stable order: by device path (numbers by value, /dev/video2 before
    // /dev/video10), else by PipeWire node name, else by name.
    const auto key = [](const DeviceInfo& d) {
      return !d.path.empty() ? d.path : !d.nodeName.empty() ? d.nodeName : d.name;
    };
    std::stable_sort(found.begin(), found.end(),
                     [&](const DeviceInfo& a, const DeviceInfo& b) { return naturalLess(key(a), key(b)); });
    std::vector<const DeviceInfo*> all;
    for (const DeviceInfo& d : found) all.push_back(&d);
    for (const DeviceInfo& d : found) add(d, identity(d, all));
    publish();
  }

  ~SystemDrivers() { g_source_remove(watch_); }

 private:
  static gboolean onMessage(GstBus*, GstMessage* msg, gpointer self) {
    auto* s = static_cast<SystemDrivers*>(self);
    GstDevice* device = nullptr;
    switch (GST_MESSAGE_TYPE(msg)) {
      case GST_MESSAGE_DEVICE_ADDED:
        gst_message_parse_device_added(msg, &device);
        s->added(device);
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

  // A camera's list name: its own, told apart from earlier entries of the
  // same name by a number.
  std::string listName(const std::string& name) {
    const int n = ++named_[name];
    return n == 1 ? name : name + " (" + std::to_string(n) + ")";
  }

  void add(const DeviceInfo& d, const std::string& id) {
    auto camera = std::make_shared<CameraDriver>(listName(d.name), id);
    camera->setDevice(d.device.get());
    cameras_.push_back(std::move(camera));
  }

  // Present devices, for telling whether a serial is shared.
  std::vector<DeviceInfo> presentDevices() {
    std::vector<DeviceInfo> out;
    GList* list = gst_device_monitor_get_devices(monitor_);
    for (GList* l = list; l; l = l->next) {
      out.push_back(describe(GST_DEVICE(l->data)));
      gst_object_unref(l->data);
    }
    g_list_free(list);
    return out;
  }

  std::string identityNow(GstDevice* device) {
    const DeviceInfo d = describe(device);
    std::vector<DeviceInfo> present = presentDevices();
    std::vector<const DeviceInfo*> others;
    for (const DeviceInfo& o : present) {
      if (o.device.get() != device) others.push_back(&o);
    }
    return identity(d, others);
  }

  void added(GstDevice* device) {
    const std::string id = identityNow(device);
    for (const auto& camera : cameras_) {
      if (camera->id() == id && !camera->present()) {
        // The camera is back (under a new device path or object id).
        camera->setDevice(device);
        avicap32::devicesChanged();
        return;
      }
    }
    for (const auto& camera : cameras_) {
      if (camera->id() == id) return;  // already listed and present
    }
    add(describe(device), id);
    publish();
  }

  void removed(GstDevice* device) {
    for (const auto& camera : cameras_) {
      if (camera->holds(device)) camera->setDevice(nullptr);
    }
    avicap32::devicesChanged();
  }

  void publish() {
    avicap32::DriverList list(cameras_.begin(), cameras_.end());
    list.push_back(testPattern_);
    avicap32::setDrivers(std::move(list));
  }

  GstDeviceMonitor* monitor_;
  guint watch_ = 0;
  std::vector<std::shared_ptr<CameraDriver>> cameras_;
  std::shared_ptr<avicap32::CaptureDriver> testPattern_;
  std::map<std::string, int> named_;
};

std::unique_ptr<SystemDrivers>& systemDrivers() {
  static std::unique_ptr<SystemDrivers> s;
  return s;
}

}  // namespace

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

int pickMode(const std::vector<Mode>& modes, int width, int height, int fps) {
  // Lower keys are cheaper.
  const auto key = [&](const Mode& m) {
    const bool covers = m.width >= width && m.height >= height;
    const double area = static_cast<double>(m.width) * m.height;
    const double r = rate(m);
    const bool reaches = r >= fps;
    // A mode of the preview's shape fills it; another one is letterboxed.
    const bool shaped = int64_t(m.width) * height == int64_t(m.height) * width;
    return std::make_tuple(!covers, !reaches, !(covers && shaped), covers ? area : -area, reaches ? r : -r,
                           m.jpeg);
  };
  int best = -1;
  for (size_t i = 0; i < modes.size(); ++i) {
    if (modes[i].width <= 0 || modes[i].height <= 0 || modes[i].fpsDen <= 0) continue;
    if (best < 0 || key(modes[i]) < key(modes[static_cast<size_t>(best)])) best = static_cast<int>(i);
  }
  return best;
}

int pickFullSizeMode(const std::vector<Mode>& modes, int fps) {
  constexpr double kLargeArea = 640.0 * 480.0;
  constexpr double kLeastFps = 5;
  // Lower keys are better.
  const auto key = [&](const Mode& m) {
    const double area = static_cast<double>(m.width) * m.height;
    const double r = rate(m);
    const bool reaches = r >= fps;
    // Raw at large sizes costs the USB bus more than the decoding saves.
    const bool preferred = area > kLargeArea ? m.jpeg : !m.jpeg;
    return std::make_tuple(r < kLeastFps, -area, !preferred, !reaches, reaches ? r : -r);
  };
  int best = -1;
  for (size_t i = 0; i < modes.size(); ++i) {
    if (modes[i].width <= 0 || modes[i].height <= 0 || modes[i].fpsDen <= 0) continue;
    if (best < 0 || key(modes[i]) < key(modes[static_cast<size_t>(best)])) best = static_cast<int>(i);
  }
  return best;
}

std::string pickCapsText(const std::string& deviceCaps, int width, int height, int fps) {
  ensureInit();
  CapsPtr all(gst_caps_from_string(deviceCaps.c_str()));
  CapsPtr picked = pickCaps(all.get(), width, height, fps);
  return picked ? takeString(gst_caps_to_string(picked.get())) : std::string();
}

std::string pickFullSizeCapsText(const std::string& deviceCaps, int fps) {
  ensureInit();
  CapsPtr all(gst_caps_from_string(deviceCaps.c_str()));
  CapsPtr picked = pickCaps(all.get(), kAnySize, kAnySize, fps, true);
  return picked ? takeString(gst_caps_to_string(picked.get())) : std::string();
}

void installDrivers() {
  ensureInit();
  systemDrivers().reset();
  systemDrivers() = std::make_unique<SystemDrivers>();
}

void uninstallDrivers() {
  systemDrivers().reset();
  avicap32::resetDrivers();
}

std::shared_ptr<avicap32::CaptureDriver> makeTestPattern() { return std::make_shared<TestPatternDriver>(); }

std::string cameraChain(int width, int height, int fps) { return cameraTail(width, height, fps); }

std::shared_ptr<avicap32::CaptureDriver> makeLaunchDriver(const std::string& description,
                                                          const std::string& name) {
  return std::make_shared<LaunchDriver>(description, name);
}

std::string versionText() {
  ensureInit();
  return takeString(gst_version_string());
}

}  // namespace gstcapture
