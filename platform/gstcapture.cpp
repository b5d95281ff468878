#include "platform/gstcapture.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

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
using MonitorPtr = Owned<GstDeviceMonitor, gst_object_unref>;
using MessagePtr = Owned<GstMessage, gst_message_unref>;
using SamplePtr = Owned<GstSample, gst_sample_unref>;
using CapsPtr = Owned<GstCaps, gst_caps_unref>;
using StructurePtr = Owned<GstStructure, gst_structure_free>;
using ErrorPtr = Owned<GError, g_error_free>;
using StringPtr = Owned<gchar, g_free>;

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

// A camera's first frame can take a while (exposure, USB start-up); a source
// that has delivered nothing by then is treated as refusing the connection.
constexpr auto kStartTimeout = std::chrono::seconds(5);
constexpr auto kPollSlice = std::chrono::milliseconds(20);

// The appsink settings every pipeline ends with: hold only the newest frame
// and never wait for the clock, so the UI thread can pull without blocking;
// report the end of a stream at once, even with a frame not yet pulled.
constexpr const char* kSink =
    "appsink name=sink max-buffers=1 drop=true sync=false emit-signals=false enable-last-sample=false "
    "wait-on-eos=false";

// Rate limiting first (dropping frames costs nothing), then scaling in the
// source's own format, then one conversion of the small picture to BGRx. The
// first videoconvert passes through unless videoscale cannot take the format.
std::string cameraTail(int width, int height, int fps, const std::string& overlay) {
  return "decodebin ! videorate drop-only=true ! videoconvert ! videoscale ! video/x-raw,width=[1," +
         std::to_string(width) + "],height=[1," + std::to_string(height) + "] ! " + overlay +
         "videoconvert ! video/x-raw,format=BGRx,framerate=[1/1," + std::to_string(fps) + "/1] ! " + kSink;
}

// ---- One running pipeline and its newest frame.

class Pipeline {
 public:
  ~Pipeline() { Stop(); }

  // Starts the pipeline and waits for it to reach PLAYING and hand over its
  // first frame; on failure everything is released.
  bool Start(ElementPtr pipeline) {
    Stop();
    if (!pipeline) return false;
    ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    if (!sink || !GST_IS_APP_SINK(sink.get())) return false;
    pipeline_ = std::move(pipeline);
    sink_ = std::move(sink);
    bus_.reset(gst_element_get_bus(pipeline_.get()));
    dead_ = false;

    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    const auto remaining = [&] {
      const auto left =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
      return static_cast<GstClockTime>(std::max<int64_t>(0, left.count()));
    };
    bool started = gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    if (started) {
      GstState state = GST_STATE_NULL;
      started =
          gst_element_get_state(pipeline_.get(), &state, nullptr, remaining()) != GST_STATE_CHANGE_FAILURE &&
          state == GST_STATE_PLAYING;
    }
    while (started && !latest_) {
      pollBus();
      if (dead_ || std::chrono::steady_clock::now() >= deadline) {
        started = false;
        break;
      }
      takeSample(gst_app_sink_try_pull_sample(
          GST_APP_SINK(sink_.get()),
          std::chrono::duration_cast<std::chrono::nanoseconds>(kPollSlice).count()));
    }
    if (!started) Stop();
    return started;
  }

  std::shared_ptr<const avicap32::VideoFrame> LatestFrame() {
    if (!sink_) return nullptr;
    pollBus();
    if (!dead_) takeSample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()), 0));
    return latest_;
  }

  bool IsLive() {
    if (!pipeline_) return false;
    pollBus();
    return !dead_;
  }

  void Stop() {
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    latest_.reset();
    sink_.reset();
    bus_.reset();
    pipeline_.reset();
    dead_ = false;
  }

 private:
  // Drains the bus without blocking, so messages never pile up; an error or
  // the end of the stream means the source is gone.
  void pollBus() {
    if (!bus_) return;
    while (MessagePtr msg{gst_bus_pop(bus_.get())}) {
      const GstMessageType type = GST_MESSAGE_TYPE(msg.get());
      if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_EOS) dead_ = true;
    }
  }

  void takeSample(GstSample* raw) {
    SamplePtr sample(raw);
    if (!sample) return;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps)) return;
    if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRx) return;
    GstVideoFrame mapped;
    if (!gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ)) return;
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
    latest_ = std::move(frame);
  }

  ElementPtr pipeline_;
  ElementPtr sink_;
  BusPtr bus_;
  bool dead_ = false;
  std::shared_ptr<const avicap32::VideoFrame> latest_;
};

// ---- Drivers

class PipelineDriver : public avicap32::CaptureDriver {
 public:
  explicit PipelineDriver(std::string description) : description_(std::move(description)) {}
  std::string Description() const override { return description_; }
  std::string Version() const override { return VersionText(); }
  bool Connect(int width, int height, int fps) override {
    ensureInit();
    pipeline_.Stop();
    return pipeline_.Start(Build(std::max(width, 1), std::max(height, 1), std::max(fps, 1)));
  }
  std::shared_ptr<const avicap32::VideoFrame> LatestFrame() override { return pipeline_.LatestFrame(); }
  bool IsLive() override { return pipeline_.IsLive(); }
  void Disconnect() override { pipeline_.Stop(); }

 protected:
  // The pipeline for a preview of width x height at up to fps; null when it
  // cannot be made.
  virtual ElementPtr Build(int width, int height, int fps) = 0;

 private:
  std::string description_;
  Pipeline pipeline_;
};

ElementPtr parseLaunch(const std::string& description) {
  GError* raw = nullptr;
  ElementPtr e = adopt(gst_parse_launch(description.c_str(), &raw));
  ErrorPtr error(raw);
  // A description with a missing element may still yield a partial pipeline.
  if (error) return nullptr;
  return e;
}

class LaunchDriver : public PipelineDriver {
 public:
  LaunchDriver(std::string launch, std::string name)
      : PipelineDriver(std::move(name)), launch_(std::move(launch)) {}

 protected:
  ElementPtr Build(int, int, int) override { return parseLaunch(launch_); }

 private:
  std::string launch_;
};

class TestPatternDriver : public PipelineDriver {
 public:
  explicit TestPatternDriver(std::optional<Mode> sourceMode)
      : PipelineDriver("Test pattern"), sourceMode_(sourceMode) {}

 protected:
  ElementPtr Build(int width, int height, int fps) override {
    if (!sourceMode_) {
      // Scrolling colour bars: moving, yet cheap to draw (a bouncing ball
      // costs twice as much).
      return parseLaunch(std::string("videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! ") +
                         "video/x-raw,width=320,height=240,framerate=15/1 ! clockoverlay ! videoconvert ! " +
                         "video/x-raw,format=BGRx ! " + kSink);
    }
    // Still full-screen bars, which cost videotestsrc next to nothing to
    // produce, as a camera's frames cost the CPU next to nothing: what is left
    // is the pipeline's own work. The clock overlay keeps the picture changing.
    const Mode& m = *sourceMode_;
    return parseLaunch("videotestsrc is-live=true pattern=smpte100 ! video/x-raw,format=YUY2,width=" +
                       std::to_string(m.width) + ",height=" + std::to_string(m.height) +
                       ",framerate=" + std::to_string(m.fpsNum) + "/" + std::to_string(m.fpsDen) + " ! " +
                       cameraTail(width, height, fps, "clockoverlay ! "));
  }

 private:
  std::optional<Mode> sourceMode_;
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

class CameraDriver : public PipelineDriver {
 public:
  CameraDriver(DevicePtr device, std::string name)
      : PipelineDriver(std::move(name)), device_(std::move(device)) {}

 protected:
  ElementPtr Build(int width, int height, int fps) override {
    CapsPtr modeCaps = pickCaps(width, height, fps);
    if (!modeCaps) return nullptr;
    ElementPtr pipeline = adopt(gst_pipeline_new("camera"));
    ElementPtr source = adopt(gst_device_create_element(device_.get(), nullptr));
    ElementPtr filter = adopt(gst_element_factory_make("capsfilter", nullptr));
    GError* raw = nullptr;
    ElementPtr tail =
        adopt(gst_parse_bin_from_description(cameraTail(width, height, fps, "").c_str(), TRUE, &raw));
    ErrorPtr error(raw);
    if (!pipeline || !source || !filter || !tail || error) return nullptr;
    g_object_set(filter.get(), "caps", modeCaps.get(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source.get(), filter.get(), tail.get(), nullptr);
    if (!gst_element_link_many(source.get(), filter.get(), tail.get(), nullptr)) return nullptr;
    return pipeline;
  }

 private:
  // The device's cheapest mode for the preview, as fixed caps (other fields,
  // such as the pixel format, kept as the device gives them).
  CapsPtr pickCaps(int width, int height, int fps) {
    CapsPtr all(gst_device_get_caps(device_.get()));
    if (!all) return nullptr;
    std::vector<Mode> modes;
    std::vector<guint> from;
    for (guint i = 0; i < gst_caps_get_size(all.get()); ++i) {
      const GstStructure* s = gst_caps_get_structure(all.get(), i);
      const bool jpeg = gst_structure_has_name(s, "image/jpeg");
      if (!jpeg && !gst_structure_has_name(s, "video/x-raw")) continue;
      GstCapsFeatures* features = gst_caps_get_features(all.get(), i);
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
    const int best = PickMode(modes, width, height, fps);
    if (best < 0) return nullptr;
    const Mode& m = modes[static_cast<size_t>(best)];
    GstStructure* s = gst_structure_copy(gst_caps_get_structure(all.get(), from[static_cast<size_t>(best)]));
    gst_structure_set(s, "width", G_TYPE_INT, m.width, "height", G_TYPE_INT, m.height, "framerate",
                      GST_TYPE_FRACTION, m.fpsNum, m.fpsDen, nullptr);
    CapsPtr caps(gst_caps_new_empty());
    gst_caps_append_structure(caps.get(), s);
    return caps;
  }

  DevicePtr device_;
};

// The device's path (a stable order for the list), or its name.
std::string deviceKey(GstDevice* device, const std::string& name) {
  StructurePtr props(gst_device_get_properties(device));
  if (props) {
    for (const char* field : {"api.v4l2.path", "device.path", "object.path"}) {
      if (const gchar* path = gst_structure_get_string(props.get(), field)) return path;
    }
  }
  return name;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
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

int PickMode(const std::vector<Mode>& modes, int width, int height, int fps) {
  // Lower keys are cheaper.
  const auto key = [&](const Mode& m) {
    const bool covers = m.width >= width && m.height >= height;
    const double area = static_cast<double>(m.width) * m.height;
    const double r = rate(m);
    const bool reaches = r >= fps;
    return std::make_tuple(!covers, !reaches, covers ? area : -area, reaches ? r : -r, m.jpeg);
  };
  int best = -1;
  for (size_t i = 0; i < modes.size(); ++i) {
    if (modes[i].width <= 0 || modes[i].height <= 0 || modes[i].fpsDen <= 0) continue;
    if (best < 0 || key(modes[i]) < key(modes[static_cast<size_t>(best)])) best = static_cast<int>(i);
  }
  return best;
}

avicap32::DriverList CameraDrivers() {
  ensureInit();
  MonitorPtr monitor(gst_device_monitor_new());
  gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
  std::vector<std::tuple<std::string, std::string, DevicePtr>> found;
  GList* list = gst_device_monitor_get_devices(monitor.get());
  for (GList* l = list; l; l = l->next) {
    DevicePtr device(GST_DEVICE(l->data));  // takes the list's reference
    std::string name = takeString(gst_device_get_display_name(device.get()));
    std::string key = deviceKey(device.get(), name);
    found.emplace_back(std::move(key), std::move(name), std::move(device));
  }
  g_list_free(list);
  // Numbers in device paths compare by value, so /dev/video2 comes before
  // /dev/video10.
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return NaturalLess(std::get<0>(a), std::get<0>(b)); });
  avicap32::DriverList drivers;
  for (auto& [key, name, device] : found) {
    drivers.push_back(std::make_shared<CameraDriver>(std::move(device), std::move(name)));
  }
  return drivers;
}

std::shared_ptr<avicap32::CaptureDriver> MakeTestPattern() {
  return std::make_shared<TestPatternDriver>(std::nullopt);
}

std::shared_ptr<avicap32::CaptureDriver> MakeTestPattern(const Mode& sourceMode) {
  return std::make_shared<TestPatternDriver>(sourceMode);
}

std::shared_ptr<avicap32::CaptureDriver> MakeLaunchDriver(const std::string& description,
                                                          const std::string& name) {
  return std::make_shared<LaunchDriver>(description, name);
}

std::string VersionText() {
  ensureInit();
  return takeString(gst_version_string());
}

}  // namespace gstcapture
