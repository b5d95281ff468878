#pragma once
// Pipeline sessions: a capture driver whose source is a GStreamer pipeline
// ending in an appsink named "sink". Each connect runs one session, started
// and stopped on a thread of its own (a device's state change may take long
// or never end), its newest frame in a mutex-guarded slot that the streaming
// thread fills; with full size, its newest full-size sample too, kept by the
// pipeline's "still" branch (gststill.h). A driver has at most one earlier
// session still stopping: a connect meanwhile waits for it to end, and a
// state change that runs past kStateChangeLimit makes the driver hung.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/capturedriver.h"

typedef struct _GstElement GstElement;

namespace gstcapture {

// The longest a pipeline's state change may take before its device is taken
// for one that does not answer.
inline constexpr std::chrono::seconds kStateChangeLimit{3};

class Session;

class PipelineDriver : public avicap32::CaptureDriver {
 public:
  explicit PipelineDriver(std::string description);
  // Sessions still stopping go on by themselves; nothing waits for them.
  ~PipelineDriver() override;
  std::string description() const override { return description_; }
  std::string version() const override;
  // True also while an earlier session is still stopping: the new one
  // starts with the first isLive after that one ended.
  bool connect(int width, int height, int fps) override;
  std::shared_ptr<const avicap32::VideoFrame> latestFrame() override;
  bool isLive() override;
  void disconnect() override;
  bool hung() override;
  void setFullSize(bool on) override { fullSize_ = on; }
  std::shared_ptr<const avicap32::StillFrame> latestStill() override;

 protected:
  // A new pipeline for a preview of width x height at up to fps (the caller
  // owns it); null when it cannot be made. With fullSize() it also keeps
  // full-size samples (stillBranch).
  virtual GstElement* build(int width, int height, int fps) = 0;
  // Whether the pipeline is to keep full-size samples beside the preview.
  bool fullSize() const { return fullSize_; }
  // Leaves a session that is still stopping to end by itself, so that the
  // next connect starts afresh (the device was plugged in again).
  void forgetStopping();
  // The pipeline of a launch description; null when any of it cannot be made.
  static GstElement* parseLaunch(const std::string& description);

 private:
  struct Request {
    int width, height, fps;
  };
  bool start(const Request& r);

  std::string description_;
  bool fullSize_ = false;
  std::shared_ptr<Session> active_;    // the session of the current connect
  std::shared_ptr<Session> stopping_;  // the one before, maybe still stopping
  std::optional<Request> pending_;     // a connect waiting for stopping_ to end
};

// The built-in test source: a moving pattern with a running clock, 320 x 240
// at 15 frames a second; 1280 x 720 as its full size.
std::shared_ptr<avicap32::CaptureDriver> makeTestPattern();

// The chain a camera's raw frames go through (launch syntax, from rate
// limiting to the appsink named "sink"), for a preview of width x height at
// up to fps frames a second, in the picture's own shape (square pixels). The
// branch that keeps full-size samples tees off in front of it.
std::string cameraChain(int width, int height, int fps);

// Waits until every session thread has ended, or until the deadline; those
// still running then (a device that does not answer) are left to end by
// themselves, and the program may exit under them.
void waitForSessions(std::chrono::steady_clock::time_point deadline);

// Initialises GStreamer once.
void ensureInit();

}  // namespace gstcapture
