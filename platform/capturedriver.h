#pragma once
// The capture driver interface that the capture windows talk to: describe,
// connect, the latest frame, is it live, disconnect. Drivers are installed in
// the capture service's driver list (avicap32::setDrivers), or come from a
// driver provider whose devices come and go (avicap32::installProvider),
// which reports them to an observer the capture service installs.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace avicap32 {

// One frame: top-down rows of 4 bytes a pixel in the order B, G, R, X,
// stride = width * 4. The pixels are the frame's own (bgrx), or lent by the
// source for as long as the frame lives (a buffer of its pipeline, kept by
// lender), which spares a copy of every frame.
struct VideoFrame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;
  const uint8_t* lent = nullptr;
  std::shared_ptr<const void> lender;

  const uint8_t* pixels() const { return lent ? lent : bgrx.data(); }
  size_t bytes() const { return lent ? size_t(width) * size_t(height) * 4 : bgrx.size(); }
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
  // fps frames a second. False when the source cannot start (a pipeline that
  // cannot be built); frames follow later when it does. A driver whose
  // device is away at the moment connects without a source: it is not live,
  // and a connect after the device returned starts it.
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
  // True while the device does not answer: starting or stopping its source
  // has not returned for a while. Nothing more is started on it until that
  // ends or the device is plugged in again.
  virtual bool hung() { return false; }

  // Full-size stills, for drivers that keep them: from the next connect on,
  // the source runs at its largest mode of 5 frames a second or more and
  // keeps its newest picture beside the preview.
  virtual void setFullSize(bool /*on*/) {}
  // The newest full-size picture since connect, or null (none yet, or a
  // driver without them). A new picture is a new object.
  virtual std::shared_ptr<const StillFrame> latestStill() { return nullptr; }

  // Where the source's controls are reached now: the V4L2 device node (the
  // camera's own, or the one its PipeWire node names), else "pipewire:" and
  // its PipeWire node's name; empty when it has none, or its device is away.
  virtual std::string controlDevice() const { return {}; }
};

// A driver as logs name it: its description and identity.
inline std::string logName(const CaptureDriver& driver) {
  return '"' + driver.description() + "\" (" + driver.identity() + ")";
}

using DriverList = std::vector<std::shared_ptr<CaptureDriver>>;

// What a driver provider reports as its devices come and go. Calls come on
// the UI thread.
class DriverObserver {
 public:
  virtual ~DriverObserver() = default;
  // A device seen for the first time in this run, with its new driver, for
  // place index in the list (the drivers from there on move one place up).
  virtual void driverAdded(std::shared_ptr<CaptureDriver> driver, size_t index) = 0;
  // The device behind a listed driver went away, or came back.
  virtual void deviceRemoved(const CaptureDriver& driver) = 0;
  virtual void deviceReturned(const CaptureDriver& driver) = 0;
};

// Drivers over devices that come and go (the cameras), each driver keeping
// its place in the list for the whole run.
class DriverProvider {
 public:
  virtual ~DriverProvider() = default;
  // The drivers listed now, in list order.
  virtual DriverList drivers() = 0;
  // Reports later changes to observer; null ends the reports.
  virtual void watch(DriverObserver* observer) = 0;
};

}  // namespace avicap32
