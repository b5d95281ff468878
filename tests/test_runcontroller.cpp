// The run controller through tick sequences on a fake clock: the source
// taken and let go around the active hours, a lost source, Stop and Start,
// the recorded run at Stop and at the end of the session; and the command
// line merged with a recorded run.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run/runcontroller.h"

namespace {

constexpr const char* kZone = "Europe/Berlin";

// A source as the controller sees it: present or not, and taking some
// seconds after it is bound to show its first picture.
struct Camera : run::Hands {
  bool present = true;
  int startSecs = 0;
  bool bound = false;
  int boundSecs = 0;
  bool shown = false;
  int saves = 0;
  std::optional<settings::Job> job;

  bool live() const { return bound && present && boundSecs >= startSecs; }
  // A second passes.
  void pass() {
    if (!bound) return;
    ++boundSecs;
    shown = shown || live();
  }
  bool takeSource(const std::string&) override {
    bound = true;
    boundSecs = 0;
    shown = false;
    return true;
  }
  void releaseSource() override { bound = false; }
  run::Look look(bool) override { return {bound, live(), false, shown, true}; }
  std::string saveFrame() override {
    ++saves;
    return {};
  }
  void recordJob(const settings::Job& j) override { job = j; }
  void clearJob() override { job.reset(); }
};

enum class Act { Lose, Return, Stop, Start, StoreFails, StoreWrites, SessionEnds, Close };

// The events' names, in the order they are declared.
constexpr const char* kKinds[] = {"Started",  "Resumed",     "Stopped",      "End",       "Taken", "Released",
                                  "Lost",     "Back",        "NotAnswering", "Waiting",   "Open",  "Hourly",
                                  "NotSaved", "DiskReserve", "FolderGone",   "FolderBack"};

TEST(RunController, TickSequences) {
  schedule::ActiveHours sevenToOne;  // 07:00 to 07:01
  sevenToOne.mode = schedule::ActiveHours::Mode::Between;
  sevenToOne.from = 7 * 60;
  sevenToOne.to = 7 * 60 + 1;
  const schedule::ActiveHours always;
  const vba::DateTime morning{2024, 6, 12, 6, 59, 30}, noon{2024, 6, 12, 12, 0, 0};
  struct Case {
    const char* what;
    schedule::ActiveHours hours;
    vba::DateTime start;  // local time at Start
    const char* interval;
    int startSecs;  // the source's first picture, after it is bound
    int ticks;
    std::map<int, Act> acts;  // after the tick of that second
    std::vector<int> frames;  // the seconds with a frame
    std::string events;       // each with its second
    bool jobKept;
  };
  // clang-format off
  const Case cases[] = {
      {"taken 10 s before the hours open, first frame at the opening, let go at the closing",
       sevenToOne, morning, "20", 1, 95, {}, {30, 50, 70},
       "Started@0 Waiting@0 Taken@20 Open@30 Released@90 Waiting@90", true},
      {"lost across the opening: the frame due meanwhile skipped, frames on the schedule once back",
       sevenToOne, morning, "20", 0, 80, {{24, Act::Lose}, {39, Act::Return}}, {50, 70},
       "Started@0 Waiting@0 Taken@20 Open@30 Lost@30 Back@40", true},
      {"Stop and Start keep the count",
       always, noon, "5", 0, 20, {{8, Act::Stop}, {10, Act::Start}}, {5, 12, 17},
       "Started@0 Taken@0 Hourly1/1@8 Stopped@8 Started@10 Taken@10", true},
      {"Stop and Start keep the count while the source taken again is not live yet",
       always, noon, "5", 3, 20, {{8, Act::Stop}, {10, Act::Start}}, {5, 13, 18},
       "Started@0 Taken@0 Hourly1/1@8 Stopped@8 Started@10 Taken@10", true},
      {"a folder gone is told once, and once when it is back",
       always, noon, "1", 0, 6, {{2, Act::StoreFails}, {4, Act::StoreWrites}}, {1, 2, 3, 4, 5, 6},
       "Started@0 Taken@0 FolderGone@3 FolderBack@5", true},
      {"frames saved and due told once an hour; a frame due while lost is skipped",
       always, {2024, 6, 12, 12, 59, 50}, "4", 0, 12, {{5, Act::Lose}, {8, Act::Return}}, {4, 12},
       "Started@0 Taken@0 Lost@6 Back@9 Hourly1/2@10", true},
      {"Stop forgets the recorded run",
       always, noon, "5", 0, 3, {{3, Act::Stop}}, {}, "Started@0 Taken@0 Stopped@3", false},
      {"the end of the session keeps it, and counts the frame written just before",
       always, noon, "5", 0, 5, {{5, Act::SessionEnds}}, {5}, "Started@0 Taken@0 Hourly1/1@5 End@5", true},
      {"closing the window forgets it",
       always, noon, "5", 0, 3, {{3, Act::Close}}, {}, "Started@0 Taken@0 Stopped@3", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Camera camera;
    camera.startSecs = c.startSecs;
    run::RunController controller(camera, kZone);
    const run::Instant t0 = schedule::instantOf(c.start, kZone);
    std::string events;
    controller.addListener([&](const run::Event& e, const run::State&) {
      events += kKinds[static_cast<int>(e.kind)];
      if (e.kind == run::Event::Kind::Hourly) events += std::to_string(e.saved) + "/" + std::to_string(e.due);
      events += "@" + std::to_string(e.at - t0) + " ";
    });
    const run::Run begin{"cam", "Cam", "/frames", c.interval, c.hours, {}, true, false};
    controller.start(begin, t0);
    std::vector<int> frames;
    std::string failure;
    int written = 0;
    const std::map<Act, std::function<void(run::Instant)>> acts{
        {Act::Lose, [&](run::Instant) { camera.present = false; }},
        {Act::Return, [&](run::Instant) { camera.present = true; }},
        {Act::Stop,
         [&](run::Instant now) {
           controller.stop(now, run::Stored{std::exchange(written, 0), {}});
         }},
        {Act::Start, [&](run::Instant now) { controller.start(begin, now); }},
        {Act::StoreFails,
         [&](run::Instant) { failure = "Folder /frames is gone; waiting for it to return."; }},
        {Act::StoreWrites, [&](run::Instant) { failure.clear(); }},
        {Act::SessionEnds,
         [&](run::Instant now) {
           controller.close(true, now, run::Stored{std::exchange(written, 0), {}});
         }},
        {Act::Close, [&](run::Instant now) {
           controller.close(false, now, run::Stored{std::exchange(written, 0), {}});
         }}};
    for (int t = 1; t <= c.ticks; ++t) {
      const run::Instant now = t0 + t;
      camera.pass();
      const int before = camera.saves;
      controller.tick(now, c.interval,
                      {failure.empty() ? written : 0, failure, run::Event::Kind::FolderGone});
      written = camera.saves - before;
      if (written) frames.push_back(t);
      if (const auto act = c.acts.find(t); act != c.acts.end()) acts.at(act->second)(now);
    }
    EXPECT_EQ(frames, c.frames);
    EXPECT_EQ(events, std::string(c.events) + " ");
    EXPECT_EQ(camera.job.has_value(), c.jobKept);
  }
}

TEST(RunController, CommandLineMergedWithTheRecordedRun) {
  settings::Job job{"usb-cam-42", "Desk Cam", "60", "/garden", {}, {true, framestore::Format::Png, true}};
  job.hours.mode = schedule::ActiveHours::Mode::Between;
  cmdline::Options resume;
  resume.resume = true;
  cmdline::Options given = resume;
  given.source = "Test pattern";
  given.interval = "5";
  given.folder = "/elsewhere";
  given.hours = schedule::ActiveHours{};
  // The recorded run's own values, the source by its identity.
  EXPECT_EQ(run::plan(resume, job),
            (run::Plan{{}, "60", "/garden", job.hours, job.frames, true, true, "usb-cam-42", "Desk Cam"}));
  // The command line's take the place of the recorded run's, but the frames
  // are taken as the recorded run took them.
  EXPECT_EQ(run::plan(given, job),
            (run::Plan{
                "Test pattern", "5", "/elsewhere", schedule::ActiveHours{}, job.frames, true, true, {}, ""}));
  // Nothing recorded: a plain start, or --start's.
  EXPECT_EQ(run::plan(resume, std::nullopt), run::Plan{});
  given.start = true;
  EXPECT_EQ(run::plan(given, std::nullopt),
            (run::Plan{"Test pattern", "5", "/elsewhere", schedule::ActiveHours{}, {}, true, false, {}, ""}));
}

}  // namespace
