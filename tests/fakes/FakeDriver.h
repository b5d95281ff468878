#pragma once
// A capture driver for tests: its name, whether it connects, the frame it
// delivers and whether it is still live are set by the test, which can also
// read how it was used.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/avicap32.h"

namespace fakes {

// A full-size picture: a frame, or JPEG bytes when given.
struct FakeStill : avicap32::StillFrame {
  FakeStill(std::shared_ptr<const avicap32::VideoFrame> f, std::vector<uint8_t> j)
      : frame(std::move(f)), bytes(std::move(j)) {}
  std::vector<uint8_t> jpeg() const override { return bytes; }
  std::shared_ptr<const avicap32::VideoFrame> bgrx() const override {
    return bytes.empty() ? frame : nullptr;
  }
  std::shared_ptr<const avicap32::VideoFrame> frame;
  std::vector<uint8_t> bytes;
};

class FakeDriver : public avicap32::CaptureDriver {
 public:
  explicit FakeDriver(std::string name = "Fake camera", std::string version = "1.0");

  // A frame of one colour, given as 0x00RRGGBB.
  static std::shared_ptr<const avicap32::VideoFrame> solidFrame(int width, int height, uint32_t rgb);

  std::string description() const override { return name; }
  std::string version() const override { return versionText; }
  bool connect(int width, int height, int fps) override;
  // The current frame while connected (also after the driver went dead).
  std::shared_ptr<const avicap32::VideoFrame> latestFrame() override;
  bool isLive() override { return connected && live; }
  void disconnect() override;
  void setFullSize(bool on) override { fullSize = on; }
  // While connected with full size: still as a new picture on every call.
  std::shared_ptr<const avicap32::StillFrame> latestStill() override;

  std::string name;
  std::string versionText;
  bool connectSucceeds = true;
  bool live = true;  // set false to act as an unplugged camera
  // A new copy of the frame on every call, as from a camera that keeps
  // delivering, so the preview never takes the source for a stalled one
  // however long a test runs; false hands out the same frame again.
  bool freshFrames = true;
  std::shared_ptr<const avicap32::VideoFrame> frame = solidFrame(320, 240, 0x3080C0);

  std::shared_ptr<const avicap32::VideoFrame> still = solidFrame(640, 360, 0x3080C0);
  bool fullSize = false;  // what setFullSize said last

  bool connected = false;
  int connects = 0;     // successful connects
  int disconnects = 0;  // calls to Disconnect while connected
  int lastWidth = 0;    // what the last Connect asked for
  int lastHeight = 0;
  int lastFps = 0;
};

// Installs drivers with the given names as the driver list (test seam) and
// returns them.
std::vector<std::shared_ptr<FakeDriver>> installFakeDrivers(const std::vector<std::string>& names);

}  // namespace fakes
