#include "platform/gststill.h"

#include <gst/base/gstbasesink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/gstref.h"

namespace gstcapture {
namespace {

// One sample, held (and so its buffer) until the still goes.
class GstStill : public avicap32::StillFrame {
 public:
  explicit GstStill(SamplePtr sample) : sample_(std::move(sample)) {
    GstCaps* caps = gst_sample_get_caps(sample_.get());
    const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
    jpeg_ = s && gst_structure_has_name(s, "image/jpeg");
    buffer_ = gst_sample_get_buffer(sample_.get());
    if (buffer_) pts_ = GST_BUFFER_PTS(buffer_);
  }

  std::vector<uint8_t> jpeg() const override {
    std::vector<uint8_t> bytes;
    GstMapInfo map;
    if (!jpeg_ || !buffer_ || !gst_buffer_map(buffer_, &map, GST_MAP_READ)) return bytes;
    bytes.assign(map.data, map.data + map.size);
    gst_buffer_unmap(buffer_, &map);
    return bytes;
  }

  std::shared_ptr<const avicap32::VideoFrame> bgrx() const override {
    GstVideoInfo in;
    if (jpeg_ || !buffer_ || !gst_video_info_from_caps(&in, gst_sample_get_caps(sample_.get())))
      return nullptr;
    auto frame = std::make_shared<avicap32::VideoFrame>();
    frame->width = GST_VIDEO_INFO_WIDTH(&in);
    frame->height = GST_VIDEO_INFO_HEIGHT(&in);
    frame->bgrx.resize(size_t(frame->width) * size_t(frame->height) * 4);
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_BGRx, guint(frame->width), guint(frame->height));
    // Only the format changes (the converter insists on the rest).
    GST_VIDEO_INFO_FPS_N(&out) = GST_VIDEO_INFO_FPS_N(&in);
    GST_VIDEO_INFO_FPS_D(&out) = GST_VIDEO_INFO_FPS_D(&in);
    GST_VIDEO_INFO_PAR_N(&out) = GST_VIDEO_INFO_PAR_N(&in);
    GST_VIDEO_INFO_PAR_D(&out) = GST_VIDEO_INFO_PAR_D(&in);
    // The converter writes straight into the frame's rows (stride width * 4).
    GstBuffer* target = gst_buffer_new_wrapped_full(GstMemoryFlags(0), frame->bgrx.data(), frame->bgrx.size(),
                                                    0, frame->bgrx.size(), nullptr, nullptr);
    GstVideoFrame from, to;
    bool done = false;
    if (gst_video_frame_map(&from, &in, buffer_, GST_MAP_READ)) {
      if (gst_video_frame_map(&to, &out, target, GST_MAP_WRITE)) {
        if (GstVideoConverter* convert = gst_video_converter_new(&in, &out, nullptr)) {
          gst_video_converter_frame(convert, &from, &to);
          gst_video_converter_free(convert);
          done = true;
        }
        gst_video_frame_unmap(&to);
      }
      gst_video_frame_unmap(&from);
    }
    gst_buffer_unref(target);
    return done ? frame : nullptr;
  }

  // The same picture: the same buffer with the same time (pooled buffers
  // come back with new pictures and new times).
  bool same(const GstSample* sample) const {
    GstBuffer* b = gst_sample_get_buffer(const_cast<GstSample*>(sample));
    return b == buffer_ && b && GST_BUFFER_PTS(b) == pts_;
  }

 private:
  SamplePtr sample_;
  GstBuffer* buffer_ = nullptr;
  GstClockTime pts_ = GST_CLOCK_TIME_NONE;
  bool jpeg_ = false;
};

}  // namespace

std::string stillBranch() {
  // The sink never waits (no clock, no preroll, the older sample dropped),
  // so the tee's other branch, the preview, runs as it would alone.
  return "tee name=t t. ! appsink name=still max-buffers=1 drop=true sync=false async=false "
         "enable-last-sample=true";
}

std::shared_ptr<const avicap32::StillFrame> newestStill(
    GstElement* pipeline, std::shared_ptr<const avicap32::StillFrame> previous) {
  if (!pipeline || !GST_IS_BIN(pipeline)) return nullptr;
  ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline), "still"));
  if (!sink) return nullptr;
  SamplePtr sample(gst_base_sink_get_last_sample(GST_BASE_SINK(sink.get())));
  if (!sample) return previous;
  if (auto* before = dynamic_cast<const GstStill*>(previous.get()); before && before->same(sample.get())) {
    return previous;
  }
  return std::make_shared<GstStill>(std::move(sample));
}

}  // namespace gstcapture
