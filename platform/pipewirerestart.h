#pragma once
// The cameras' devices across restarts of the PipeWire daemon. One device
// monitor lists the "Video/Source" devices for the whole run; PipeWire's
// device provider in it says nothing when its daemon goes away, nor finds a
// new one. So the daemon's socket is looked at twice a second, and when the
// daemon went, came or was replaced, the provider that followed the one
// before is left aside (its devices with it) and a provider of our own, over
// a connection of its own, follows the daemon there is now. For the GStreamer
// drivers' sources only (it includes GStreamer).
#include <functional>
#include <memory>
#include <vector>

#include "platform/gstref.h"

namespace gstcapture {

// The devices of this process's device monitor and of the provider that
// follows the PipeWire daemon of now. Calls come from the UI thread.
namespace devicesources {

// The bus on which devices added and removed are announced.
BusPtr bus();
// The "Video/Source" devices listed now, none of a provider left aside.
std::vector<DevicePtr> present();
// Whether a device comes from a PipeWire provider left aside.
bool leftAside(GstDevice* device);

}  // namespace devicesources

// Follows the PipeWire daemon serving this session while it exists. When
// the daemon went, came or was replaced: replaced() at once, with the old
// daemon's devices left aside; followed() once a new provider follows the
// daemon there is now (it starts on a thread of its own: a daemon that does
// not answer would hold the start). Both on the UI thread, never after the
// watch has gone.
class DaemonWatch {
 public:
  DaemonWatch(std::function<void()> replaced, std::function<void()> followed);
  ~DaemonWatch();
  DaemonWatch(const DaemonWatch&) = delete;
  DaemonWatch& operator=(const DaemonWatch&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
  unsigned check_ = 0;
};

}  // namespace gstcapture
