#pragma once
// A capture driver for tests: its name, whether it connects, the frame it
// delivers and whether it is still live are set by the test, which can also
// read how it was used.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32.h"

namespace fakes {

class FakeDriver : public avicap32::CaptureDriver {
 public:
  explicit FakeDriver(std::string name = "Fake camera", std::string version = "1.0");

  // A frame of one colour, given as 0x00RRGGBB.
  static std::shared_ptr<const avicap32::VideoFrame> solidFrame(int width, int height, uint32_t rgb);

  std::string Description() const override { return name; }
  std::string Version() const override { return version; }
  bool Connect(int width, int height, int fps) override;
  // The current frame while connected (also after the driver went dead).
  std::shared_ptr<const avicap32::VideoFrame> LatestFrame() override;
  bool IsLive() override { return connected && live; }
  void Disconnect() override;

  std::string name;
  std::string version;
  bool connectSucceeds = true;
  bool live = true;  // set false to act as an unplugged camera
  std::shared_ptr<const avicap32::VideoFrame> frame = solidFrame(320, 240, 0x3080C0);

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
