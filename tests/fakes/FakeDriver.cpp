#include "tests/fakes/FakeDriver.h"

#include <utility>

namespace fakes {

FakeDriver::FakeDriver(std::string name_, std::string version_)
    : name(std::move(name_)), versionText(std::move(version_)) {}

std::shared_ptr<const avicap32::VideoFrame> FakeDriver::solidFrame(int width, int height, uint32_t rgb) {
  auto f = std::make_shared<avicap32::VideoFrame>();
  f->width = width;
  f->height = height;
  f->bgrx.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  for (size_t i = 0; i < f->bgrx.size(); i += 4) {
    f->bgrx[i] = static_cast<uint8_t>(rgb);
    f->bgrx[i + 1] = static_cast<uint8_t>(rgb >> 8);
    f->bgrx[i + 2] = static_cast<uint8_t>(rgb >> 16);
    f->bgrx[i + 3] = 0xFF;
  }
  return f;
}

bool FakeDriver::connect(int width, int height, int fps) {
  lastWidth = width;
  lastHeight = height;
  lastFps = fps;
  if (!connectSucceeds) return false;
  connected = true;
  ++connects;
  return true;
}

std::shared_ptr<const avicap32::VideoFrame> FakeDriver::latestFrame() {
  if (!connected || !frame) return nullptr;
  return freshFrames ? std::make_shared<const avicap32::VideoFrame>(*frame) : frame;
}

std::shared_ptr<const avicap32::StillFrame> FakeDriver::latestStill() {
  if (!connected || !fullSize || !still) return nullptr;
  return std::make_shared<FakeStill>(still, std::vector<uint8_t>{});
}

void FakeDriver::disconnect() {
  if (!connected) return;
  connected = false;
  ++disconnects;
}

std::vector<std::shared_ptr<FakeDriver>> installFakeDrivers(const std::vector<std::string>& names) {
  std::vector<std::shared_ptr<FakeDriver>> fakes;
  avicap32::DriverList list;
  for (const std::string& n : names) {
    fakes.push_back(std::make_shared<FakeDriver>(n));
    list.push_back(fakes.back());
  }
  avicap32::setDrivers(std::move(list));
  return fakes;
}

}  // namespace fakes
