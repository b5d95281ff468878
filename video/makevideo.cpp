#include "video/makevideo.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/durablefile.h"
#include "platform/gstref.h"
#include "platform/vba.h"
#include "store/framename.h"
#include "video/deflicker.h"
#include "video/frames.h"

namespace video {

namespace {

// The lowest priority a thread can take (nice 19).
constexpr int kLowestPriority = 19;

using Clock = std::chrono::steady_clock;

// Frames waiting in the pipeline before the next is read: enough to keep the
// encoder busy while frames are decoded (it takes them in bursts, a group of
// pictures at a time), few enough to keep memory flat: at most 16 frames and
// 32 MB, but never fewer than 4 frames.
constexpr guint64 kQueuedFramesMost = 16;
constexpr guint64 kQueuedFramesLeast = 4;
constexpr guint64 kQueuedBytes = 32u << 20;
constexpr auto kReportEvery = std::chrono::milliseconds(100);

using gstcapture::BusPtr;
using gstcapture::ElementPtr;
using gstcapture::MessagePtr;

struct Element {
  const char* factory;
  const char* what;
  const char* package;
};

std::vector<Element> elementsFor(Format format) {
  std::vector<Element> elements = {{"appsrc", "frame source", "gstreamer1.0-plugins-base"},
                                   {"videoconvert", "colour converter", "gstreamer1.0-plugins-base"}};
  if (format == Format::mp4) {
    elements.push_back({"x264enc", "H.264 encoder", "gstreamer1.0-plugins-ugly"});
    elements.push_back({"mp4mux", "MP4 writer", "gstreamer1.0-plugins-good"});
  } else {
    elements.push_back({"vp9enc", "VP9 encoder", "gstreamer1.0-plugins-good"});
    elements.push_back({"webmmux", "WebM writer", "gstreamer1.0-plugins-good"});
  }
  elements.push_back({"filesink", "file writer", "libgstreamer1.0-0"});
  return elements;
}

guint64 queueBytes(guint64 frameBytes) {
  return frameBytes * std::clamp(kQueuedBytes / frameBytes, kQueuedFramesLeast, kQueuedFramesMost);
}

std::string count(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string formatName(Format format) { return format == Format::mp4 ? "an MP4" : "a WebM"; }

// The text of an error message from the pipeline.
std::string errorText(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  std::string text = error ? error->message : "unknown error";
  g_clear_error(&error);
  g_free(debug);
  return text;
}

// Pixel buffers the pipeline is done with, for the frames still to be read:
// memory kept rather than handed back to the system and asked for again, a
// page at a time, for every frame.
class PixelPool {
 public:
  std::vector<uint32_t> take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return {};
    std::vector<uint32_t> pixels = std::move(free_.back());
    free_.pop_back();
    return pixels;
  }
  void give(std::vector<uint32_t> pixels) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kQueuedFramesMost) free_.push_back(std::move(pixels));
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint32_t>> free_;
};

// Hands a picture's pixels to GStreamer without copying them; they go back
// to the pool once encoded.
GstBuffer* wrap(Picture& picture, const std::shared_ptr<PixelPool>& pool) {
  struct Wrapped {
    std::shared_ptr<PixelPool> pool;
    std::vector<uint32_t> pixels;
  };
  auto* wrapped = new Wrapped{pool, std::move(picture.pixels)};
  const gsize size = wrapped->pixels.size() * sizeof(uint32_t);
  return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, wrapped->pixels.data(), size, 0, size, wrapped,
                                     [](gpointer p) {
                                       auto* done = static_cast<Wrapped*>(p);
                                       done->pool->give(std::move(done->pixels));
                                       delete done;
                                     });
}

class Maker {
 public:
  Maker(const Settings& settings, const ProgressHandler& progress, const std::atomic<bool>& cancel)
      : settings_(settings), progress_(progress), cancel_(cancel) {}

  Result run();

 private:
  bool fail(const std::string& message) {
    result_.message = message;
    return false;
  }
  bool build(const std::string& location, const std::string& faststart);
  bool publish(durablefile::PendingFile& file, const QFileInfo& output);
  bool push(Picture& picture);
  bool pollBus(GstClockTime timeout, bool untilEos);
  void report(bool force);

  const Settings& settings_;
  const ProgressHandler& progress_;
  const std::atomic<bool>& cancel_;
  Result result_;
  std::string written_;  // the video's name, once it has one
  FrameList list_;
  std::unique_ptr<FrameReader> reader_;
  std::shared_ptr<PixelPool> pool_ = std::make_shared<PixelPool>();
  int width_ = 0;
  int height_ = 0;
  ElementPtr pipeline_;
  BusPtr bus_;
  GstElement* source_ = nullptr;  // owned by the pipeline
  // Signalled from the pipeline's thread when its queue has room again.
  std::mutex roomMutex_;
  std::condition_variable room_;
  bool ended_ = false;
  Clock::time_point started_ = Clock::now();
  Clock::time_point reported_{};
};

bool Maker::build(const std::string& location, const std::string& faststart) {
  pipeline_.reset(gst_pipeline_new("video"));
  if (settings_.lowPriority) {
    // GStreamer's streaming threads come from a pool and do not take the
    // priority of the thread that starts the pipeline: each lowers its own as
    // it enters, and the encoder's threads, made from them, inherit it.
    GstBus* bus = gst_element_get_bus(pipeline_.get());
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer) {
          GstStreamStatusType type{};
          GstElement* owner = nullptr;
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_STREAM_STATUS) {
            gst_message_parse_stream_status(message, &type, &owner);
            if (type == GST_STREAM_STATUS_TYPE_ENTER)
              ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kLowestPriority);
          }
          return GST_BUS_PASS;
        },
        nullptr, nullptr);
    gst_object_unref(bus);
  }
  std::vector<GstElement*> chain;
  for (const Element& element : elementsFor(settings_.format)) {
    GstElement* made = gst_element_factory_make(element.factory, nullptr);
    if (!made) return fail(missingEncoder(settings_.format));
    gst_bin_add(GST_BIN(pipeline_.get()), made);
    chain.push_back(made);
    // 4:2:0, which every player takes.
    if (element.factory == std::string("videoconvert")) {
      GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
      GstCaps* i420 = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr);
      g_object_set(filter, "caps", i420, nullptr);
      gst_caps_unref(i420);
      gst_bin_add(GST_BIN(pipeline_.get()), filter);
      chain.push_back(filter);
    }
  }
  for (size_t i = 1; i < chain.size(); ++i) {
    if (!gst_element_link(chain[i - 1], chain[i]))
      return fail("Cannot make video: the pipeline cannot be linked.");
  }
  source_ = chain.front();
  GstCaps* caps = gst_caps_new_simple(
      "video/x-raw", "format", G_TYPE_STRING, G_BYTE_ORDER == G_LITTLE_ENDIAN ? "BGRx" : "xRGB", "width",
      G_TYPE_INT, width_, "height", G_TYPE_INT, height_, "framerate", GST_TYPE_FRACTION, settings_.fps, 1,
      "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  // Told from the pipeline's thread when its queue is half empty.
  GstAppSrcCallbacks callbacks{};
  callbacks.need_data = [](GstAppSrc*, guint, gpointer self) {
    auto* maker = static_cast<Maker*>(self);
    const std::lock_guard<std::mutex> lock(maker->roomMutex_);
    maker->room_.notify_one();
  };
  gst_app_src_set_callbacks(GST_APP_SRC(source_), &callbacks, this, nullptr);
  g_object_set(source_, "caps", caps, "format", GST_FORMAT_TIME, "block", FALSE, "min-percent", 50u,
               "max-bytes", queueBytes(static_cast<guint64>(width_) * static_cast<guint64>(height_) * 4),
               nullptr);
  gst_caps_unref(caps);
  GstElement* encoder = chain[chain.size() - 3];
  if (settings_.format == Format::mp4) {
    // Constant quality 23 at the medium preset: x264's own defaults.
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "medium");
    gst_util_set_object_arg(G_OBJECT(encoder), "pass", "qual");
    g_object_set(encoder, "quantizer", 23u, nullptr);
    // No rate buffer: its bitrate would otherwise cap the quality (x264 itself has none).
    g_object_set(encoder, "vbv-buf-capacity", 0u, nullptr);
    // The index at the front, so a browser plays the video before it has all of it.
    // Its temporary file, as large as the video, beside the video rather than
    // in /tmp (often small, in memory), and gone with the maker.
    g_object_set(chain[chain.size() - 2], "faststart", TRUE, "faststart-file", faststart.c_str(), nullptr);
  } else {
    // Real-time speed at constant quality, rows spread over the cores.
    const int cores = std::max(1, QThread::idealThreadCount());
    gst_util_set_object_arg(G_OBJECT(encoder), "end-usage", "cq");
    g_object_set(encoder, "deadline", static_cast<gint64>(1), "cpu-used", 6, "cq-level", 32, "target-bitrate",
                 0, "threads", cores, "row-mt", TRUE, nullptr);
  }
  g_object_set(chain.back(), "location", location.c_str(), nullptr);
  bus_.reset(gst_element_get_bus(pipeline_.get()));
  if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    pollBus(0, false);
    return fail(result_.message.empty() ? "Cannot make video: the pipeline does not start."
                                        : result_.message);
  }
  return true;
}

// Gives the finished video its name: the one asked for, or, when a file
// holds that, the first free of NAME_2.EXT, NAME_3.EXT, ...; false when it
// cannot be written.
bool Maker::publish(durablefile::PendingFile& file, const QFileInfo& output) {
  const std::string ext = output.suffix().isEmpty() ? "" : "." + output.suffix().toStdString();
  const std::string stem = settings_.output.substr(0, settings_.output.size() - ext.size());
  try {
    written_ = file.publish([&](int n) { return framename::suffixed(stem, n) + ext; });
    return true;
  } catch (const vba::RuntimeError&) {
    return false;
  }
}

// Takes what the pipeline says within timeout: an error fails the run; the
// end of the stream (when waited for) ends it. Returns whether to go on.
bool Maker::pollBus(GstClockTime timeout, bool untilEos) {
  MessagePtr message(gst_bus_timed_pop_filtered(
      bus_.get(), timeout, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS)));
  if (!message) return true;
  if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
    return fail("Cannot make video: " + errorText(message.get()));
  }
  ended_ = untilEos;
  return true;
}

bool Maker::push(Picture& picture) {
  const auto full = [this] {
    return gst_app_src_get_current_level_bytes(GST_APP_SRC(source_)) >=
           gst_app_src_get_max_bytes(GST_APP_SRC(source_));
  };
  while (full()) {
    if (cancel_ || !pollBus(0, false)) return false;
    std::unique_lock<std::mutex> lock(roomMutex_);
    room_.wait_for(lock, std::chrono::milliseconds(50), [&] { return !full(); });
  }
  GstBuffer* buffer = wrap(picture, pool_);
  const guint64 index = static_cast<guint64>(result_.frames);
  const auto fps = static_cast<guint64>(settings_.fps);
  GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(index, GST_SECOND, fps);
  GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(index + 1, GST_SECOND, fps) - GST_BUFFER_PTS(buffer);
  if (gst_app_src_push_buffer(GST_APP_SRC(source_), buffer) != GST_FLOW_OK) {
    return fail("Cannot make video: the pipeline stopped.");
  }
  ++result_.frames;
  return true;
}

void Maker::report(bool force) {
  const auto now = Clock::now();
  if (!progress_ || (!force && now - reported_ < kReportEvery)) return;
  reported_ = now;
  Progress progress;
  progress.done = reader_->done();
  progress.total = static_cast<int>(list_.frames.size());
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  if (progress.done > 0 && elapsed > 0.5) {
    progress.secondsLeft = elapsed / progress.done * (progress.total - progress.done);
  }
  progress_(progress);
}

Result Maker::run() {
  gst_init(nullptr, nullptr);
  if (const std::string missing = missingEncoder(settings_.format); !missing.empty()) {
    result_.message = missing;
    return result_;
  }
  if (!QFileInfo(QString::fromStdString(settings_.folder)).isDir()) {
    result_.message = "Cannot make video: there is no folder " + settings_.folder + ".";
    return result_;
  }
  list_ = listFrames(settings_.folder);
  result_.notFrames = list_.notFrames;
  if (!settings_.day.empty()) {
    const QString day = QString::fromStdString(settings_.day + " ");
    std::erase_if(list_.frames, [&](const FrameFile& f) {
      return !QFileInfo(QString::fromStdString(f.path)).fileName().startsWith(day);
    });
  }
  width_ = settings_.width;
  height_ = settings_.height;
  if (width_ <= 0 || height_ <= 0) frameSize(list_, width_, height_);
  if (list_.frames.empty() || width_ <= 0 || height_ <= 0) {
    result_.message = "Cannot make video: there are no frames in " + settings_.folder + ".";
    return result_;
  }
  reader_ = std::make_unique<FrameReader>(list_, width_, height_);

  // Written with no name (or a hidden temporary one) beside the video, and
  // given its name when complete.
  const QFileInfo output(QString::fromStdString(settings_.output));
  std::optional<durablefile::PendingFile> file;
  std::optional<durablefile::PendingFile> faststart;
  try {
    const std::string folder = output.absolutePath().toStdString();
    durablefile::removeLeftovers(folder);
    file.emplace(folder, output.fileName().toStdString());
    if (settings_.format == Format::mp4)
      faststart.emplace(folder, output.fileName().toStdString() + ".faststart");
  } catch (const vba::RuntimeError& e) {
    result_.message = "Cannot write " + settings_.output + ": " + e.what() + ".";
    return result_;
  }

  bool ok = build(file->path(), faststart ? faststart->path() : "");
  Deflicker deflicker;
  Picture picture;
  while (ok && !cancel_) {
    if (picture.pixels.empty()) picture.pixels = pool_->take();
    const bool more = reader_->next(picture);
    if (settings_.deflicker) {
      if (more) {
        deflicker.push(std::move(picture));
      } else {
        deflicker.finish();
      }
      while (ok && deflicker.pop(picture)) ok = push(picture);
    } else if (more) {
      ok = push(picture);
    }
    report(!more);
    if (!more) break;
  }
  result_.undecodable = reader_->undecodable();
  if (ok && !cancel_ && result_.frames == 0) {
    ok = fail("Cannot make video: none of the frames in " + settings_.folder + " can be read.");
  }
  if (ok && !cancel_) {
    gst_app_src_end_of_stream(GST_APP_SRC(source_));
    while (ok && !ended_ && !cancel_) ok = pollBus(100 * GST_MSECOND, true);
  }
  if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  if (ok && cancel_) {
    result_.cancelled = true;
    result_.message = "Cancelled: no video was written.";
  } else if (ok && !publish(*file, output)) {
    ok = fail("Cannot write " + settings_.output + ".");
  } else if (ok) {
    result_.complete = true;
    result_.file = written_;
    char line[200];
    std::snprintf(line, sizeof line, ": %d frames, %.1f s at %d frames a second, %d x %d.", result_.frames,
                  static_cast<double>(result_.frames) / settings_.fps, settings_.fps, width_, height_);
    result_.message = "Made " + written_ + line;
    if (result_.notFrames + result_.undecodable > 0) {
      result_.message +=
          " Skipped " + count(result_.notFrames, "file not named as a frame", "files not named as frames") +
          " and " + count(result_.undecodable, "frame that cannot be read", "frames that cannot be read") +
          ".";
    }
  }
  return result_;
}

}  // namespace

std::string missingEncoder(Format format) {
  gst_init(nullptr, nullptr);
  for (const Element& element : elementsFor(format)) {
    GstElementFactory* factory = gst_element_factory_find(element.factory);
    if (factory) {
      gst_object_unref(factory);
      continue;
    }
    return std::string("Cannot make ") + formatName(format) + " video: the " + element.what + " (" +
           element.factory + ") is missing; install the Debian package " + element.package + ".";
  }
  return "";
}

const char* extension(Format format) { return format == Format::mp4 ? "mp4" : "webm"; }

Result makeVideo(const Settings& settings, const ProgressHandler& progress, const std::atomic<bool>& cancel) {
  return Maker(settings, progress, cancel).run();
}

}  // namespace video
