#include "camera/camerakeeper.h"

#include <QString>
#include <algorithm>

#include "platform/avicap32.h"
#include "platform/cameralog.h"
#include "schedule/resumejob.h"

namespace camera {
namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

std::string listed(const Values& values) {
  std::string out;
  for (const auto& [name, value] : values)
    out += (out.empty() ? "" : ", ") + name + "=" + std::to_string(value);
  return out;
}

// Values the driver refused or changed go to the run log.
void report(const std::string& device, const std::vector<Outcome>& outcomes) {
  for (const Outcome& o : outcomes) {
    if (o.problem.empty()) continue;
    qCWarning(cameraLog).noquote() << text(device) << text(o.name) << "=" << o.asked << text(o.problem)
                                   << (o.inForce ? "; in force: " + QString::number(*o.inForce) : QString());
  }
}

std::shared_ptr<avicap32::CaptureDriver> driverOf(const std::string& identity) {
  const int i = schedule::findSource(identity);
  const avicap32::DriverList& list = avicap32::driverList();
  return i >= 0 && static_cast<size_t>(i) < list.size() ? list[static_cast<size_t>(i)] : nullptr;
}

Values::iterator find(Values& values, const std::string& name) {
  return std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == name; });
}

}  // namespace

Keeper::Keeper()
    : Keeper([](const std::string& identity) {
        const auto driver = driverOf(identity);
        return driver ? driver->controlDevice() : std::string();
      }) {}

void Keeper::keep(const std::string& name, int64_t value) {
  const auto it = find(inForce_, name);
  if (it != inForce_.end()) {
    it->second = value;
  } else {
    inForce_.emplace_back(name, value);
  }
}

void Keeper::userChanged(const std::string& identity, const Values& values) {
  if (!running_ || identity != identity_) return;
  for (const auto& [name, value] : values) keep(name, value);
}

void Keeper::onEvent(const run::Event& event, const run::State& state) {
  using Kind = run::Event::Kind;
  switch (event.kind) {
    case Kind::Started:
    case Kind::Resumed:
      running_ = true;
      firstTake_ = true;
      identity_ = state.source;
      inForce_.clear();
      walk_.reset();
      walkTried_ = false;
      toldNoDevice_ = false;
      break;
    case Kind::SourceTaken:
    case Kind::Back:
      if (running_) take(event.at);
      break;
    case Kind::Stopped:
    case Kind::SessionEnd:
      running_ = false;
      walk_.reset();
      break;
    default:
      break;
  }
}

void Keeper::take(run::Instant now) {
  device_ = resolve_(identity_);
  readAt_ = now;
  if (device_.empty()) {
    // Started while away, the first take with a device puts everything in force.
    if (firstTake_ && !toldNoDevice_ &&
        (options_.hold || !commandLine_.empty() || !settings::cameraControls(identity_).empty())) {
      qCInfo(cameraLog).noquote() << text(identity_)
                                  << "has no controls the program can reach now: they are left as they are";
      toldNoDevice_ = true;
    }
    return;
  }
  if (!firstTake_) {
    // Back after a loss, a replug or a restart: the camera may have forgotten.
    if (inForce_.empty()) return;
    report(device_, applyValues(device_, inForce_));
    qCInfo(cameraLog).noquote() << "Camera settings put back on" << text(device_) + ":"
                                << text(listed(inForce_));
    return;
  }
  firstTake_ = false;
  Values asked = settings::cameraControls(identity_);
  for (const auto& [name, value] : commandLine_) {
    const auto it = find(asked, name);
    if (it != asked.end()) asked.erase(it);
    asked.emplace_back(name, value);
  }
  if (options_.hold) report(device_, holdPicture(device_));
  report(device_, applyValues(device_, asked));
  // What the run keeps: the values asked for and, held, the automatic modes
  // and the manual values they settled on; automatic modes first.
  std::vector<std::string> names;
  for (const auto& v : asked) names.push_back(v.first);
  if (options_.hold) {
    const std::vector<std::string> held = heldControls();
    const std::vector<Control> offered = listControls(device_).controls;
    for (const Control& c : offered) {
      const bool governed =
          std::any_of(offered.begin(), offered.end(), [&](const Control& a) { return a.id == c.automatic; });
      if (std::find(held.begin(), held.end(), c.name) == held.end() || !c.automatic || !governed) continue;
      names.push_back(controlName(c.automatic));
      names.push_back(c.name);
    }
  }
  std::vector<std::string> ordered;
  for (const std::string& n : names) {
    if (std::find(ordered.begin(), ordered.end(), n) == ordered.end()) ordered.push_back(n);
  }
  inForce_ = readValues(device_, ordered);
  if (!inForce_.empty()) {
    qCInfo(cameraLog).noquote() << "Camera settings in force on" << text(device_) + ":"
                                << text(listed(inForce_));
  }
}

void Keeper::tick(run::Instant now) {
  if (!running_ || inForce_.empty() || now - readAt_ < kReadBackSecs) return;
  readAt_ = now;
  // Plugged in again under another node without a word: found again here.
  device_ = resolve_(identity_);
  if (device_.empty()) return;
  std::vector<std::string> names;
  for (const auto& v : inForce_) names.push_back(v.first);
  const Values now_ = readValues(device_, names);
  if (now_.empty()) return;  // away: put back when it returns
  Values changed;
  for (const auto& [name, value] : now_) {
    const int64_t want = find(inForce_, name)->second;
    if (value == want) continue;
    qCInfo(cameraLog).noquote() << text(name) << "was changed to" << value
                                << "by another program; set back to" << want;
    changed.emplace_back(name, want);
  }
  // Written in the run's order, automatic modes first.
  if (!changed.empty()) report(device_, applyValues(device_, inForce_));
}

void Keeper::frameDue() {
  if (!running_ || !options_.hold || !options_.evenExposure || device_.empty()) return;
  const auto driver = driverOf(identity_);
  const auto picture = driver ? driver->latestFrame() : nullptr;
  if (picture) frame(picture->pixels(), picture->width, picture->height, picture->width * 4);
}

void Keeper::startWalk(double brightness) {
  walkTried_ = true;
  std::optional<Control> exposure, gain;
  for (const Control& c : listControls(device_).controls) {
    if (!exposure && (c.name == "exposure_time_absolute" || c.name == "exposure")) exposure = c;
    if (c.name == "gain") gain = c;
  }
  if (!exposure) {
    qCInfo(cameraLog).noquote() << text(device_) << "has no exposure control: the exposure is not evened";
    return;
  }
  exposureName_ = exposure->name;
  const int64_t g = gain ? gain->current : 0;
  walk_.emplace(brightness, exposure->current, WalkRange{exposure->minimum, exposure->maximum}, g,
                gain ? WalkRange{gain->minimum, gain->maximum} : WalkRange{g, g});
}

void Keeper::frame(const uint8_t* bgrx, int width, int height, int stride) {
  if (!running_ || !options_.hold || !options_.evenExposure || device_.empty()) return;
  const double brightness = centreWeightedLuminance(bgrx, width, height, stride);
  if (!walk_) {
    // The first frame's brightness is the one to keep.
    if (!walkTried_) startWalk(brightness);
    return;
  }
  const WalkStep s = walk_->step(brightness);
  if (s.limitReached) {
    qCInfo(cameraLog).noquote() << "The exposure walk reached the camera's limit:" << text(exposureName_)
                                << "=" << s.exposure << ", gain =" << s.gain;
  }
  if (!s.changed) return;
  Values step{{exposureName_, s.exposure}};
  if (find(inForce_, "gain") != inForce_.end() || s.gain) step.emplace_back("gain", s.gain);
  report(device_, applyValues(device_, step));
  for (const auto& [name, value] : step) keep(name, value);
}

}  // namespace camera
