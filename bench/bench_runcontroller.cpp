// A week of one-second ticks through the run controller, with active hours
// that open and close each day (07:00 to 19:30, and sunrise to sunset in
// Berlin), interval 20, over a source that is always there: prints the time
// the week takes and what it did (frames, the source taken and let go).
// Target: a week in under a second.
#include <chrono>
#include <cstdio>
#include <string>

#include "run/runcontroller.h"

namespace {

struct Source : run::Hands {
  bool bound = false;
  int taken = 0;
  int frames = 0;
  bool takeSource(const std::string&) override {
    bound = true;
    ++taken;
    return true;
  }
  void releaseSource() override { bound = false; }
  run::Look look(bool) override { return {bound, bound, false, bound, true}; }
  std::string saveFrame() override {
    ++frames;
    return {};
  }
  void recordJob(const settings::Job&) override {}
  void clearJob() override {}
};

void week(const char* what, const schedule::ActiveHours& hours) {
  constexpr const char* kZone = "Europe/Berlin";
  constexpr int kWeek = 7 * 24 * 3600;
  Source source;
  run::RunController controller(source, kZone);
  int events = 0;
  controller.addListener([&](const run::Event&, const run::State&) { ++events; });
  const run::Instant t0 = schedule::instantOf({2024, 6, 10, 0, 0, 0}, kZone);
  const auto begin = std::chrono::steady_clock::now();
  controller.start({"cam", "Cam", "/frames", "20", hours, {}, false, false}, t0);
  for (int t = 1; t <= kWeek; ++t) controller.tick(t0 + t, "20", {});
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  std::printf(
      "%-28s a week of ticks in %7.1f ms (%.2f us a tick): %d frames, source taken %d times, %d events\n",
      what, ms, ms * 1000.0 / kWeek, source.frames, source.taken, events);
}

}  // namespace

int main() {
  schedule::ActiveHours between;
  between.mode = schedule::ActiveHours::Mode::Between;
  between.from = 7 * 60;
  between.to = 19 * 60 + 30;
  schedule::ActiveHours daylight;
  daylight.mode = schedule::ActiveHours::Mode::Daylight;
  daylight.latitude = 52.52;
  daylight.longitude = 13.405;
  week("always:", schedule::ActiveHours{});
  week("07:00 to 19:30:", between);
  week("sunrise to sunset, Berlin:", daylight);
  return 0;
}
