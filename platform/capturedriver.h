#pragma once
// The capture driver interface that the capture windows talk to: describe,
// connect, the latest frame, is it live, disconnect. Drivers are installed in
// the capture service's driver list (avicap32::setDrivers).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace avicap32 {

// One frame: top-down rows of 4 bytes a pixel in the order B, G, R, X,
// stride = width * 4.
struct VideoFrame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;
};

// A full-size picture as the source sent it, kept as it came until a frame
// is due; its calls may come from any thread.
class StillFrame {
 public:
  virtual ~StillFrame() = default;
  // The source's own JPEG bytes when it sends JPEG (MJPEG); empty otherwise.
  virtual std::vector<uint8_t> jpeg() const = 0;
  // The picture converted now; null for a JPEG still (decode jpeg() then) or
  // one that cannot be converted.
  virtual std::shared_ptr<const VideoFrame> bgrx() const = 0;
};

// All calls come from the UI thread, and none of them may wait on the device:
// a driver starts and stops its source in the background.
class CaptureDriver {
 public:
  virtual ~CaptureDriver() = default;
  virtual std::string description() const = 0;
  virtual std::string version() const = 0;
  // What names the source across runs and replugging (a camera's serial,
  // port or node name), so a run can find it again; the description where
  // nothing better is known.
  virtual std::string identity() const { return description(); }
  // Starts the source, asking for frames that cover width x height at up to
  // fps frames a second. False when the source cannot start now (no such
  // device at the moment, a pipeline that cannot be built); frames follow
  // later when it does.
  virtual bool connect(int width, int height, int fps) = 0;
  // The newest frame, or null when none has arrived since Connect. A new
  // frame is a new object, so a caller tells new frames by the pointer.
  virtual std::shared_ptr<const VideoFrame> latestFrame() = 0;
  // False once the source has failed, ended or its device went away (a
  // source that only stops delivering is noticed by the capture window).
  virtual bool isLive() = 0;
  // Stops the source and releases the device at once. Harmless when not
  // connected.
  virtual void disconnect() = 0;

  // Full-size stills, for drivers that keep them: from the next connect on,
  // the source runs at its largest mode of 5 frames a second or more and
  // keeps its newest picture beside the preview.
  virtual void setFullSize(bool /*on*/) {}
  // The newest full-size picture since connect, or null (none yet, or a
  // driver without them). A new picture is a new object.
  virtual std::shared_ptr<const StillFrame> latestStill() { return nullptr; }
};

using DriverList = std::vector<std::shared_ptr<CaptureDriver>>;

}  // namespace avicap32
