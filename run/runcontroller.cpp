#include "run/runcontroller.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "platform/vba.h"

namespace run {
namespace {

constexpr Instant kHour = 3600;

// The interval typed, as shown and as counted; none while the text is not a
// valid interval.
std::optional<std::pair<double, int16_t>> typedInterval(const std::string& typed) {
  try {
    return std::pair(vba::CDbl(typed), vba::CInt(typed));
  } catch (const vba::RuntimeError&) {
    return std::nullopt;
  }
}

}  // namespace

Plan plan(const cmdline::Options& options, const std::optional<settings::Job>& job) {
  Plan p;
  p.entry = options.source;
  p.interval = options.interval;
  p.folder = options.folder;
  p.hours = options.hours;
  p.start = options.start;
  if (!options.resume || !job) return p;
  p.start = p.resumed = true;
  if (!p.interval) p.interval = job->interval;
  if (!p.folder && !job->folder.empty()) p.folder = job->folder;
  if (!p.hours) p.hours = job->hours;
  // The run takes frames as the recorded one did; the user's own options
  // stay as they are for the runs after it.
  p.frames = job->frames;
  if (!options.source) {
    p.source = job->source;
    p.sourceName = job->sourceName;
  }
  return p;
}

void RunController::start(const Run& run, Instant now) {
  const bool running = state_.phase != Phase::Stopped;
  state_.phase = Phase::Capturing;
  state_.resumed = run.resumed;
  state_.source = run.source;
  state_.sourceName = run.sourceName;
  state_.folder = run.folder;
  state_.hours = run.hours;
  state_.frames = run.frames;
  interval_ = run.interval;
  if (const auto typed = typedInterval(run.interval))
    std::tie(state_.intervalShown, state_.interval) = *typed;
  state_.opening.reset();
  if (!running) {
    state_.framesSaved = state_.framesDue = 0;
    hour_ = now / kHour;
    pending_ = false;
  }
  failing_.clear();
  state_.recorded = run.record;
  // Written through before the first frame, so a run killed at any moment
  // after it comes back.
  if (run.record) record();
  // A second Start while running rebinds: the source is let go first, so
  // there is never more than one.
  hands_.releaseSource();
  state_.taken = false;
  forgetLoss();
  notify(run.resumed ? Event::Kind::Resumed : Event::Kind::Started, now);
  decidedUntil_ = decidedAt_;
  // Outside the active hours the source is not even taken.
  if (hoursOpen(now)) {
    take(now);
  } else {
    state_.phase = Phase::Waiting;
    state_.opening = schedule::nextOpening(state_.hours, now, zone_);
    notify(Event::Kind::Waiting, now);
  }
}

void RunController::stop(Instant now, const Stored& stored) {
  end(now, Event::Kind::Stopped, stored);
  forgetJob();
}

void RunController::close(bool sessionEnds, Instant now, const Stored& stored) {
  end(now, sessionEnds ? Event::Kind::SessionEnd : Event::Kind::Stopped, stored);
  if (!sessionEnds) forgetJob();
}

void RunController::end(Instant now, Event::Kind kind, const Stored& stored) {
  hands_.releaseSource();
  if (state_.phase == Phase::Stopped) return;
  storeOutcome(now, stored);
  countHour(now, true);
  state_.phase = Phase::Stopped;
  state_.taken = false;
  notify(kind, now);
}

void RunController::forgetJob() {
  state_.recorded = false;
  hands_.clearJob();
}

void RunController::setHours(const schedule::ActiveHours& hours, Instant now) {
  state_.hours = hours;
  decidedUntil_ = decidedAt_;
  if (state_.phase == Phase::Stopped) return;
  if (state_.phase == Phase::Waiting) state_.opening = schedule::nextOpening(hours, now, zone_);
  if (state_.recorded) record();
}

void RunController::setFrames(const settings::FrameOptions& frames) {
  state_.frames = frames;
  if (state_.phase != Phase::Stopped && state_.recorded) record();
}

void RunController::setRecording(bool on) {
  state_.recorded = on && state_.phase != Phase::Stopped;
  if (state_.recorded) record();
}

void RunController::tick(Instant now, const std::string& typed, const Stored& stored) {
  if (state_.phase == Phase::Stopped) return;
  storeOutcome(now, stored);
  countHour(now, false);
  // A text that is not a valid interval (as while the user retypes it)
  // leaves the last valid one in force.
  if (typed != typed_) {
    typed_ = typed;
    typedValue_ = typedInterval(typed);
  }
  const auto& interval = typedValue_;
  if (interval) std::tie(state_.intervalShown, state_.interval) = *interval;
  if (waiting(now)) return;

  double& elapsed = state_.elapsedSecs;
  elapsed += 1.0;
  const double remaining = state_.intervalShown - elapsed;
  state_.status = interval ? "Time till next capture: " + vba::CStr(remaining) + " secs."
                           : "Interval not valid, using " + vba::CStr(state_.intervalShown) + ": " +
                                 vba::CStr(remaining) + " secs.";
  // A frame the store could not write is reported now, and tried again on
  // this tick.
  if (!stored.failure.empty()) {
    state_.status = stored.failure;
    elapsed = std::max<double>(elapsed, state_.interval);
  }
  // A bound source that shows no live picture is reported on every tick
  // instead of the countdown.
  const Look look = hands_.look(elapsed >= state_.interval);
  const bool lost = look.bound && !look.live;
  if (lost) {
    showLost(now, look);
  } else if (state_.lostSince) {
    if (look.live && lostTold_) notify(Event::Kind::Back, now);
    forgetLoss();
  }
  if (elapsed < state_.interval) return;
  if (!pending_) {
    ++state_.framesDue;
    ++hourDue_;
    pending_ = true;
  }
  if (lost && !look.shown) {
    // Just taken (at Start, or again around the active hours) and not live
    // yet: the count holds, and the frame comes with the first picture.
    elapsed -= 1.0;
    return;
  }
  // The frame due while a source is lost is skipped, so frames go on falling
  // on the schedule once it is back. Likewise when the picture is the one
  // saved last: ticks that a busy window held up arrive one after the other,
  // and the same picture must not be saved twice as if new.
  if (lost || !look.fresh) {
    elapsed = 0;
    pending_ = false;
    return;
  }
  const std::string why = hands_.saveFrame();
  if (!why.empty()) {
    state_.status = why;
    failed(now, why);
    return;
  }
  elapsed = 0;
  pending_ = false;
}

bool RunController::waiting(Instant now) {
  if (state_.hours.mode == schedule::ActiveHours::Mode::Always && state_.phase == Phase::Capturing &&
      state_.taken)
    return false;
  if (hoursOpen(now)) {
    if (state_.phase == Phase::Waiting) {
      state_.phase = Phase::Capturing;
      state_.opening.reset();
      notify(Event::Kind::HoursOpen, now);
      // The first frame falls at the opening: it is due on this tick.
      state_.elapsedSecs = std::max<double>(state_.intervalShown, state_.interval) - 1.0;
    }
    if (take(now)) return false;
    // A resumed run's source that is not listed yet is waited for as a lost one.
    showLost(now, Look{});
    return true;
  }
  const bool closing = state_.phase != Phase::Waiting;
  if (closing || !state_.opening || now >= *state_.opening)
    state_.opening = schedule::nextOpening(state_.hours, now, zone_);
  state_.phase = Phase::Waiting;
  if (state_.opening && *state_.opening - now <= kTakeEarlySecs) {
    take(now);
  } else {
    release(now);
  }
  if (closing) {
    pending_ = false;
    notify(Event::Kind::Waiting, now);
  }
  state_.status = state_.opening ? "Waiting for active hours: capturing resumes " +
                                       schedule::openingText(*state_.opening, now, zone_) + "."
                                 : std::string("Waiting for active hours: none open within a year.");
  return true;
}

bool RunController::hoursOpen(Instant now) {
  if (state_.hours.mode == schedule::ActiveHours::Mode::Always) return true;
  if (now < decidedAt_ || now >= decidedUntil_) {
    decidedOpen_ = schedule::captureNow(state_.hours, now, zone_);
    decidedAt_ = now;
    const std::optional<Instant> until = decidedOpen_ ? schedule::nextClosing(state_.hours, now, zone_)
                                                      : schedule::nextOpening(state_.hours, now, zone_);
    decidedUntil_ = until.value_or(now + 24 * kHour);
  }
  return decidedOpen_;
}

bool RunController::take(Instant now) {
  if (state_.taken) return true;
  if (!hands_.takeSource(state_.source)) return false;
  state_.taken = true;
  takenAt_ = now;
  notify(Event::Kind::SourceTaken, now);
  return true;
}

void RunController::release(Instant now) {
  if (!state_.taken) return;
  // Let go like Stop does: the device is closed (its light goes off) and
  // another program may use it meanwhile.
  hands_.releaseSource();
  state_.taken = false;
  forgetLoss();
  notify(Event::Kind::SourceReleased, now);
}

void RunController::forgetLoss() {
  state_.lostSince.reset();
  state_.hung = false;
  lostTold_ = false;
}

void RunController::showLost(Instant now, const Look& look) {
  // A source just bound that has shown no picture yet is starting: the
  // status says so as for a lost one, the log only once it takes too long.
  const bool starting = look.bound && !look.shown && now - takenAt_ < kFirstPictureSecs;
  if (!state_.lostSince) state_.lostSince = now;
  if (!starting && !lostTold_) {
    lostTold_ = true;
    notify(Event::Kind::Lost, *state_.lostSince);
  }
  if (look.hung && !state_.hung) {
    state_.hung = true;
    notify(Event::Kind::NotAnswering, now);
  }
  state_.hung = look.hung;
  const vba::DateTime since = schedule::localTime(*state_.lostSince, zone_);
  const vba::DateTime today = schedule::localTime(now, zone_);
  const bool sameDay = since.year == today.year && since.month == today.month && since.day == today.day;
  state_.status = "Source lost since " + vba::Format(since, sameDay ? "hh:nn:ss" : "dd/MM/yyyy hh:nn:ss") +
                  (look.hung ? ", it does not answer: replug it." : ", waiting for it to return.");
}

void RunController::storeOutcome(Instant now, const Stored& stored) {
  if (stored.written > 0) {
    state_.framesSaved += stored.written;
    hourSaved_ += stored.written;
    if (!failing_.empty() && failingKind_ == Event::Kind::FolderGone) notify(Event::Kind::FolderBack, now);
    failing_.clear();
  }
  if (!stored.failure.empty()) {
    // The failed frame is due again.
    pending_ = true;
    failed(now, stored.failure, stored.kind);
  }
}

void RunController::failed(Instant now, const std::string& why, Event::Kind kind) {
  // Said once while the same goes wrong, not on every tick.
  if (!failing_.empty() && kind == failingKind_ && (kind != Event::Kind::NotSaved || why == failing_)) return;
  failing_ = why;
  failingKind_ = kind;
  notify(kind, now, why);
}

void RunController::countHour(Instant now, bool flush) {
  const Instant hour = now / kHour;
  if (!flush && hour == hour_) return;
  if (hourSaved_ > 0 || hourDue_ > 0) {
    Event e{Event::Kind::Hourly, now, {}};
    e.saved = hourSaved_;
    e.due = hourDue_;
    for (const Listener& l : listeners_) l(e, state_);
  }
  hour_ = hour;
  hourSaved_ = hourDue_ = 0;
}

void RunController::notify(Event::Kind kind, Instant at, std::string why) {
  const Event e{kind, at, std::move(why)};
  for (const Listener& l : listeners_) l(e, state_);
}

void RunController::record() {
  hands_.recordJob({state_.source, state_.sourceName, interval_, state_.folder, state_.hours, state_.frames});
}

}  // namespace run
