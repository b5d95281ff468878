#pragma once
// V4L2-like cameras for tests, registered through GStreamer's own device
// provider API, so the program's device monitor lists them like real ones.
// A camera offers a caps list as a V4L2 device does; its element is a bin
// around a live videotestsrc (a ball on the camera's colour), with jpegenc
// behind it when the mode chosen is MJPEG. Tests make it fail as an unplugged
// V4L2 device does, stall without a word, or end its stream.
#include <map>
#include <memory>
#include <string>

typedef struct _GstDevice GstDevice;

namespace fakes {

struct FakeCameraModel {
  std::string name;
  std::string caps;                          // the device's modes, as caps text
  std::map<std::string, std::string> props;  // device properties (device.serial, ...)
  unsigned rgb = 0x808080;                   // background colour, 0xRRGGBB
};

class FakeCamera {
 public:
  explicit FakeCamera(const FakeCameraModel& model);
  ~FakeCamera();
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  // Plugged: listed by the provider (and announced to a running monitor).
  void Plug();
  // Unplugged: gone from the provider (announced as removed). A running
  // element is left as it is; Fail() makes it report the loss.
  void Unplug();
  // The errors V4L2 posts when its device goes: a read error from the
  // source, then the base source's stream error.
  void Fail();
  // Stalled: the source's buffers are dropped, with no message.
  void SetStalled(bool stalled);
  // The source ends its stream.
  void EndStream();
  // Hung: the camera's elements block in every state change (as a driver
  // that does not answer) until set false again.
  void SetHung(bool hung);
  // Whether a state change is blocked now.
  bool Blocked();
  // The caps the newest element's source negotiated ("" when none ran).
  std::string NegotiatedCaps();
  // Elements made for this camera that still exist.
  int LiveElements();

  struct State;

 private:
  std::shared_ptr<State> state_;
  GstDevice* device_ = nullptr;
  bool plugged_ = false;
};

// Registers the provider (once per process; before the device monitor starts).
void RegisterFakeCameraProvider();

}  // namespace fakes
