#pragma once
// The run: what a time-lapse run is doing and what it does next. It decides
// when the source is taken and let go (outside the active hours it is let go,
// taken again 10 s before they open, and the first frame falls at the
// opening), when a frame is due, when a lost source is reported, and when the
// run is recorded for a restart and forgotten. The window carries its
// decisions out through Hands and shows its status text; listeners (the run
// log first) hear of each event. The clock is passed in: instants, in the
// time zone given (the system's when empty).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cmdline/commandline.h"
#include "schedule/activehours.h"
#include "settings/settings.h"

namespace run {

using schedule::Instant;

// How long before the active hours open the source is taken again, so that
// it is live when the first frame is due.
inline constexpr Instant kTakeEarlySecs = 10;
// How long a source just bound may take to show its first picture before its
// absence is a loss worth a line in the run log.
inline constexpr Instant kFirstPictureSecs = 5;

enum class Phase { Stopped, Capturing, Waiting };

// The run as it is now, one value that others read as a copy.
struct State {
  Phase phase = Phase::Stopped;
  bool resumed = false;    // a recorded run that goes on after a restart
  std::string source;      // the run's source: its identity
  std::string sourceName;  // and its entry in the source list
  std::string folder;
  schedule::ActiveHours hours;
  settings::FrameOptions frames;
  bool recorded = false;  // recorded for resuming after a restart
  // The interval in force: the last typed text that converted both for the
  // display and for the count ("20" at start).
  double intervalShown = 20;
  int16_t interval = 20;
  double elapsedSecs = 0;            // seconds counted since the last frame
  bool taken = false;                // the source is bound
  std::optional<Instant> opening;    // while waiting: when the hours open
  std::optional<Instant> lostSince;  // the bound source shows no live picture since
  bool hung = false;                 // and does not answer
  int64_t framesSaved = 0;           // written, this run
  int64_t framesDue = 0;             // fallen due, this run
  std::string status;                // the status line
};

// What the window sees of the bound source at a tick.
struct Look {
  bool bound = false;  // a capture window is bound
  bool live = false;
  bool hung = false;
  bool shown = false;  // it has shown a picture since it was bound
  bool fresh = true;   // its picture is not the one saved last (looked at when a frame is due)
};

// What the controller has the window do.
class Hands {
 public:
  virtual ~Hands() = default;
  // Binds the source of that identity; false while none listed has it.
  virtual bool takeSource(const std::string& identity) = 0;
  virtual void releaseSource() = 0;
  virtual Look look(bool frameDue) = 0;
  // Grabs a frame and hands it to the store: empty, or why it did not.
  virtual std::string saveFrame() = 0;
  virtual void recordJob(const settings::Job& job) = 0;
  virtual void clearJob() = 0;
};

struct Event {
  enum class Kind {
    Started,
    Resumed,  // started from a recorded run after a restart
    Stopped,
    SessionEnd,  // the desktop session ends: a recorded run is kept
    SourceTaken,
    SourceReleased,
    Lost,
    Back,
    NotAnswering,
    Waiting,  // outside the active hours, until state.opening
    HoursOpen,
    Hourly,  // frames saved and due since the last such event
    NotSaved,
    DiskReserve,
    FolderGone,
    FolderBack,
  };
  Kind kind;
  Instant at = 0;
  std::string why;  // NotSaved, DiskReserve, FolderGone: the status text
  int64_t saved = 0;
  int64_t due = 0;
};
using Listener = std::function<void(const Event&, const State&)>;

// What the frame store finished since the last tick.
struct Stored {
  int written = 0;
  std::string failure;                       // why the last frame failed, for the status line
  Event::Kind kind = Event::Kind::NotSaved;  // NotSaved, DiskReserve or FolderGone
};

// A run to begin.
struct Run {
  std::string source;      // identity
  std::string sourceName;  // list entry
  std::string folder;
  std::string interval;  // as typed
  schedule::ActiveHours hours;
  settings::FrameOptions frames;
  bool record = false;   // record it for resuming after a restart
  bool resumed = false;  // it is a recorded run going on
};

// What the command line asks at start, merged with a recorded run when it
// says --resume: its values take the place of the recorded run's.
struct Plan {
  std::optional<std::string> entry;  // the list entry to choose
  std::optional<std::string> interval;
  std::optional<std::string> folder;
  std::optional<schedule::ActiveHours> hours;
  // A resumed run's frame options: for its run only, never remembered.
  std::optional<settings::FrameOptions> frames;
  bool start = false;  // a run begins at once, with no box
  bool resumed = false;
  // The resumed run's own source, when the command line names none.
  std::optional<std::string> source;
  std::string sourceName;
  bool operator==(const Plan&) const = default;
};
Plan plan(const cmdline::Options& options, const std::optional<settings::Job>& job);

class RunController {
 public:
  explicit RunController(Hands& hands, std::string zone = "") : hands_(hands), zone_(std::move(zone)) {}

  const State& state() const { return state_; }
  // The count, read and set by the window as its elapsedSecs.
  double& elapsedSecs() { return state_.elapsedSecs; }
  void addListener(Listener listener) { listeners_.push_back(std::move(listener)); }

  // Start: a second one while running rebinds the source. The count is left
  // as it is.
  void start(const Run& run, Instant now);
  // Stop and close take what the frame store finished since the last tick,
  // so the run's last frames are counted.
  void stop(Instant now, const Stored& stored = {});
  // One second of the run; typed is the interval box's text.
  void tick(Instant now, const std::string& typed, const Stored& stored);
  // While running: other hours, frame options, or recording switched on.
  void setHours(const schedule::ActiveHours& hours, Instant now);
  void setFrames(const settings::FrameOptions& frames);
  void setRecording(bool on);
  // The window goes: with the desktop session (the recorded run is kept for
  // the next login) or closed by the user (the run ends for good).
  void close(bool sessionEnds, Instant now, const Stored& stored = {});

 private:
  void notify(Event::Kind kind, Instant at, std::string why = {});
  void record();
  void forgetJob();
  // The source let go and the run ended (a run going on only).
  void end(Instant now, Event::Kind kind, const Stored& stored);
  bool take(Instant now);
  void release(Instant now);
  // Outside the active hours (or without the source): whether the tick is spent.
  bool waiting(Instant now);
  // Whether the active hours are open at now: decided again only when the
  // last decision has run out (or the clock went back).
  bool hoursOpen(Instant now);
  void showLost(Instant now, const Look& look);
  void forgetLoss();
  void storeOutcome(Instant now, const Stored& stored);
  void failed(Instant now, const std::string& why, Event::Kind kind = Event::Kind::NotSaved);
  void countHour(Instant now, bool flush);

  Hands& hands_;
  std::string zone_;
  State state_;
  std::vector<Listener> listeners_;
  std::string interval_ = "20";  // as typed at start, for the record
  // The interval box's text last seen, and what it converted to.
  std::string typed_;
  std::optional<std::pair<double, int16_t>> typedValue_;
  bool pending_ = false;  // a frame is due and not saved yet
  std::string failing_;   // the failure reported last, while frames fail
  Event::Kind failingKind_ = Event::Kind::NotSaved;
  bool decidedOpen_ = false;
  Instant decidedAt_ = 0;
  Instant decidedUntil_ = 0;
  bool lostTold_ = false;  // listeners heard of the loss going on
  Instant takenAt_ = 0;    // when the source was last bound
  Instant hour_ = 0;       // the hour counted in
  int64_t hourSaved_ = 0;
  int64_t hourDue_ = 0;
};

}  // namespace run
