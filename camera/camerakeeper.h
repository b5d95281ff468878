#pragma once
// The run's camera kept as the user set it. At every take of the camera
// (Start, a resumed run, its return after a loss or a restart of PipeWire)
// its remembered controls are put back, and once a minute they are read back
// and restored when another program changed them. With the picture held,
// Start switches the automatic modes off, keeping what they settled on; with
// the exposure evened too, each frame about to be saved moves exposure and
// gain a step toward the brightness of the first.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "camera/cameracontrols.h"
#include "camera/exposurewalk.h"
#include "run/runcontroller.h"
#include "settings/settings.h"

namespace camera {

inline constexpr run::Instant kReadBackSecs = 60;

class Keeper {
 public:
  // Where the controls of the source of an identity are reached (as
  // CaptureDriver::controlDevice gives it), empty when it has none.
  using Resolve = std::function<std::string(const std::string& identity)>;
  // Over the capture driver list's sources.
  Keeper();
  explicit Keeper(Resolve resolve) : resolve_(std::move(resolve)) {}

  // For the runs from now on: the ticks, and the command line's values
  // (written after the remembered ones, never remembered).
  void setOptions(const settings::CameraOptions& options) { options_ = options; }
  void setCommandLine(Values values) { commandLine_ = std::move(values); }
  // The user set values on a camera (the dialog): a run going on keeps them.
  void userChanged(const std::string& identity, const Values& values);

  // A run controller's listener.
  void onEvent(const run::Event& event, const run::State& state);
  // A second of the run.
  void tick(run::Instant now);
  // The frame about to be saved, as the source's latest picture (BGRx).
  void frame(const uint8_t* bgrx, int width, int height, int stride);
  // The same, fetched from the run's source.
  void frameDue();

  // What the run keeps in force, in writing order.
  const Values& inForce() const { return inForce_; }

 private:
  void take(run::Instant now);
  void startWalk(double brightness);
  void keep(const std::string& name, int64_t value);

  Resolve resolve_;
  settings::CameraOptions options_;
  Values commandLine_;
  bool running_ = false;
  bool firstTake_ = false;
  std::string identity_;
  std::string device_;
  Values inForce_;
  run::Instant readAt_ = 0;
  std::optional<ExposureWalk> walk_;
  std::string exposureName_;
  bool walkTried_ = false;
  bool toldNoDevice_ = false;
};

}  // namespace camera
