#include "platform/gstsession.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <QString>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/cameralog.h"
#include "platform/gstcapture.h"
#include "platform/gstref.h"
#include "platform/gststill.h"

namespace gstcapture {
namespace {

using Clock = std::chrono::steady_clock;

// The appsink every pipeline ends with: it never waits for the clock or for
// a preroll, and hands each frame to the driver as it arrives.
constexpr const char* kSink = "appsink name=sink max-buffers=1 drop=true sync=false async=false";

// Counts the session threads that run, so the program's end can wait for
// them (a little). Never destroyed: a thread that outlives the program's
// static objects still finds it.
class SessionThreads {
 public:
  static SessionThreads& get() {
    static auto* const threads = new SessionThreads;
    return *threads;
  }
  void started() {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  void ended() {
    std::lock_guard lock(mutex_);
    --running_;
    done_.notify_all();
  }
  void waitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    done_.wait_until(lock, deadline, [this] { return running_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  int running_ = 0;
};

}  // namespace

// ---- One running pipeline, on a thread of its own that holds it until the
// pipeline is down: the thread is never joined, so nobody waits on a device
// that does not answer.

class Session {
 public:
  // Takes a pipeline whose appsink is named "sink"; null when it has none.
  // The log names the session's source as given.
  static std::shared_ptr<Session> start(ElementPtr pipeline, std::string source) {
    if (!pipeline) return nullptr;
    ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    if (!sink || !GST_IS_APP_SINK(sink.get())) return nullptr;
    auto s = std::make_shared<Session>();
    s->source_ = QString::fromStdString(source);
    s->pipeline_ = std::move(pipeline);
    s->bus_.reset(gst_element_get_bus(s->pipeline_.get()));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &Session::onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, s.get(), nullptr);
    SessionThreads::get().started();
    std::thread([self = s]() mutable {
      self->run();
      self.reset();
      SessionThreads::get().ended();
    }).detach();
    return s;
  }

  // Asks the thread to take the pipeline down, which releases the device.
  void stop() {
    // The still holds one of the source's buffers.
    still_.reset();
    std::lock_guard lock(mutex_);
    stop_ = true;
    wake_.notify_all();
  }

  bool finished() const { return finished_; }

  // Whether a state change has run for longer than the limit.
  bool stuck() const {
    const int64_t since = changeSince_;
    return since != 0 && Clock::now().time_since_epoch().count() - since >
                             std::chrono::duration_cast<Clock::duration>(kStateChangeLimit).count();
  }

  std::shared_ptr<const avicap32::VideoFrame> latest() {
    std::lock_guard lock(mutex_);
    return latest_;
  }

  // The newest full-size sample, when the pipeline keeps them. Only for a
  // session not asked to stop (its thread lets go of the pipeline then).
  std::shared_ptr<const avicap32::StillFrame> latestStill() {
    still_ = newestStill(pipeline_.get(), still_);
    return still_;
  }

  // False after a failed start, an error or the end of the stream. Drains
  // the bus without blocking, so messages never pile up; what GStreamer said
  // of an error or a warning goes to the log. Only for a session not asked
  // to stop.
  bool healthy() {
    while (MessagePtr msg{gst_bus_pop(bus_.get())}) {
      switch (GST_MESSAGE_TYPE(msg.get())) {
        case GST_MESSAGE_ERROR:
          failed_ = true;
          log(msg.get());
          break;
        case GST_MESSAGE_WARNING:
          log(msg.get());
          break;
        case GST_MESSAGE_EOS:
          failed_ = true;
          qCInfo(cameraLog).noquote() << source_ << "ended its stream";
          break;
        default:
          break;
      }
    }
    return !failed_;
  }

 private:
  void run() {
    if (setState(GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) failed_ = true;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_; });
    }
    setState(GST_STATE_NULL);
    // Stopped sessions are no longer asked for frames or messages, so the
    // pipeline goes now rather than with the session.
    bus_.reset();
    pipeline_.reset();
    finished_ = true;
  }

  // An error or warning with its message, GStreamer's debug detail and the
  // element that posted it.
  void log(GstMessage* msg) const {
    GError* raw = nullptr;
    gchar* debug = nullptr;
    const bool error = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR;
    if (error) {
      gst_message_parse_error(msg, &raw, &debug);
    } else {
      gst_message_parse_warning(msg, &raw, &debug);
    }
    ErrorPtr e(raw);
    const QString detail = QString::fromStdString(takeString(debug));
    const QString text =
        QStringLiteral("%1: %2 from %3: %4%5")
            .arg(source_, error ? QStringLiteral("error") : QStringLiteral("warning"),
                 QString::fromUtf8(GST_MESSAGE_SRC_NAME(msg) ? GST_MESSAGE_SRC_NAME(msg) : "?"),
                 QString::fromUtf8(e && e->message ? e->message : "?"),
                 detail.isEmpty() ? QString() : " (" + detail + ")");
    qCWarning(cameraLog).noquote() << text;
  }

  GstStateChangeReturn setState(GstState state) {
    changeSince_ = Clock::now().time_since_epoch().count();
    const GstStateChangeReturn r = gst_element_set_state(pipeline_.get(), state);
    changeSince_ = 0;
    return r;
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
    auto mapped = std::make_shared<MappedSample>(gst_sample_ref(sample));
    if (!gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ)) return nullptr;
    mapped->isMapped = true;
    auto frame = std::make_shared<avicap32::VideoFrame>();
    frame->width = GST_VIDEO_FRAME_WIDTH(&mapped->frame);
    frame->height = GST_VIDEO_FRAME_HEIGHT(&mapped->frame);
    const size_t row = static_cast<size_t>(frame->width) * 4;
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0);
    const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0));
    if (static_cast<size_t>(stride) == row && lendable(buffer)) {
      frame->lent = src;
      frame->lender = std::move(mapped);
      return frame;
    }
    frame->bgrx.reserve(row * static_cast<size_t>(frame->height));
    for (int y = 0; y < frame->height; ++y) {
      const uint8_t* line = src + static_cast<ptrdiff_t>(stride) * y;
      frame->bgrx.insert(frame->bgrx.end(), line, line + row);
    }
    return frame;
  }

  // Whether a frame may keep the buffer itself rather than a copy: plain
  // memory from a plain pool (the test source's, a converter's), which hands
  // out new buffers as long as others are kept; never one of a device's few
  // buffers (V4L2's, PipeWire's), which the device needs back and which
  // would keep it open.
  static bool lendable(GstBuffer* buffer) {
    GstBufferPool* pool = buffer->pool;
    if (!pool ||
        (G_OBJECT_TYPE(pool) != GST_TYPE_VIDEO_BUFFER_POOL && G_OBJECT_TYPE(pool) != GST_TYPE_BUFFER_POOL))
      return false;
    for (guint i = 0; i < gst_buffer_n_memory(buffer); ++i) {
      if (!gst_memory_is_type(gst_buffer_peek_memory(buffer, i), GST_ALLOCATOR_SYSMEM)) return false;
    }
    return true;
  }

  // A sample mapped for reading, let go with the last frame that shows it.
  struct MappedSample {
    explicit MappedSample(GstSample* s) : sample(s) {}
    ~MappedSample() {
      if (isMapped) gst_video_frame_unmap(&frame);
    }
    SamplePtr sample;
    GstVideoFrame frame{};
    bool isMapped = false;
  };

  QString source_;
  ElementPtr pipeline_;
  BusPtr bus_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<bool> finished_ = false;
  std::atomic<bool> failed_ = false;
  std::atomic<int64_t> changeSince_ = 0;  // steady clock ticks; 0 while no state change runs
  std::shared_ptr<const avicap32::VideoFrame> latest_;
  std::shared_ptr<const avicap32::StillFrame> still_;  // UI thread only
};

// ---- Drivers

PipelineDriver::PipelineDriver(std::string description) : description_(std::move(description)) {}

PipelineDriver::~PipelineDriver() { disconnect(); }

std::string PipelineDriver::version() const { return versionText(); }

bool PipelineDriver::connect(int width, int height, int fps) {
  ensureInit();
  disconnect();
  const Request r{std::max(width, 1), std::max(height, 1), std::max(fps, 1)};
  if (stopping_ && !stopping_->finished()) {
    pending_ = r;
    return true;
  }
  stopping_.reset();
  return start(r);
}

bool PipelineDriver::start(const Request& r) {
  active_ = Session::start(ElementPtr(build(r.width, r.height, r.fps)), avicap32::logName(*this));
  return active_ != nullptr;
}

std::shared_ptr<const avicap32::VideoFrame> PipelineDriver::latestFrame() {
  return active_ ? active_->latest() : nullptr;
}

bool PipelineDriver::isLive() {
  if (pending_) {
    // Waiting for the session before to end: not failed, unless it hangs.
    if (stopping_ && !stopping_->finished()) return !stopping_->stuck();
    stopping_.reset();
    const Request r = *pending_;
    pending_.reset();
    if (!start(r)) return false;
  }
  return active_ && !active_->stuck() && active_->healthy();
}

void PipelineDriver::disconnect() {
  pending_.reset();
  if (!active_) return;
  active_->stop();
  // A session starts only once the one before has ended, so this replaces
  // none that is still stopping.
  stopping_ = std::move(active_);
}

std::shared_ptr<const avicap32::StillFrame> PipelineDriver::latestStill() {
  return active_ ? active_->latestStill() : nullptr;
}

bool PipelineDriver::hung() { return (active_ && active_->stuck()) || (stopping_ && stopping_->stuck()); }

void PipelineDriver::forgetStopping() { stopping_.reset(); }

namespace {

class TestPatternDriver : public PipelineDriver {
 public:
  TestPatternDriver() : PipelineDriver("Test pattern") {}

 protected:
  GstElement* build(int, int, int) override {
    // Scrolling colour bars: moving, yet cheap to draw (a bouncing ball
    // costs twice as much).
    const std::string source = "videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! ";
    if (fullSize()) {
      // 1280 x 720 as its full size; the preview scales it down.
      return parseLaunch(source + "video/x-raw,width=1280,height=720,framerate=15/1 ! clockoverlay ! " +
                         stillBranch() + " t. ! " + cameraChain(320, 240, 15));
    }
    return parseLaunch(source +
                       "video/x-raw,width=320,height=240,framerate=15/1 ! clockoverlay ! videoconvert ! " +
                       "video/x-raw,format=BGRx ! " + kSink);
  }
};

}  // namespace

// Rate limiting first (dropping frames costs nothing), then scaling in the
// source's own format, then one conversion of the small picture to BGRx. The
// first videoconvert passes through unless videoscale cannot take the format.
// One fixed chain, no decodebin: a chain that relinks itself makes some
// sources (PipeWire's) rebuild their stream.
std::string cameraChain(int width, int height, int fps) {
  // Square pixels: a wide picture is scaled to a wide frame, never squeezed
  // into the preview's shape.
  return "videorate drop-only=true ! videoconvert ! videoscale ! video/x-raw,width=[1," +
         std::to_string(width) + "],height=[1," + std::to_string(height) +
         "],pixel-aspect-ratio=1/1 ! videoconvert ! video/x-raw,format=BGRx,framerate=[1/1," +
         std::to_string(fps) + "/1] ! " + kSink;
}

GstElement* PipelineDriver::parseLaunch(const std::string& description) {
  ensureInit();
  GError* raw = nullptr;
  ElementPtr e = adopt(gst_parse_launch(description.c_str(), &raw));
  ErrorPtr error(raw);
  // A description with a missing element may still yield a partial pipeline.
  if (error) return nullptr;
  return e.release();
}

std::shared_ptr<avicap32::CaptureDriver> makeTestPattern() { return std::make_shared<TestPatternDriver>(); }

void waitForSessions(std::chrono::steady_clock::time_point deadline) {
  SessionThreads::get().waitUntil(deadline);
}

void ensureInit() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

}  // namespace gstcapture
