#pragma once
// The run log: a plain-text file that tells, long after, what a run did and
// when. One line per message of the program's logging categories
// ("ferrowick.run" for the run's events, "ferrowick.camera", ...), info and
// above, with its local date and time. Past its limit the older half is
// dropped at a line boundary, in a file replaced whole, so a crash never
// leaves a torn one.
#include <cstddef>
#include <string>

#include "run/runcontroller.h"

namespace run {

inline constexpr std::size_t kRunLogLimit = 1024 * 1024;

// $XDG_STATE_HOME/Ferrowick/run.log, else ~/.local/state/Ferrowick/run.log.
std::string runLogPath();
// The same, made (empty) when there is none yet, so that it can be opened.
std::string openRunLog();
// Routes the program's messages to the run log, from now on; any other
// message keeps the output it had.
void installRunLog(std::size_t limit = kRunLogLimit);
// Each line of the run log goes to the standard error too, as it is (with no
// window, where a service manager's journal reads it).
void echoRunLog();
// With no one to answer a box (no window): each box's text goes to the run
// log instead of the screen, answered as if closed, so nothing waits.
void unattendedBoxes();
// A run controller's listener: each event as a message of "ferrowick.run";
// frames saved are told once an hour, with those due.
void logEvent(const Event& event, const State& state);

}  // namespace run
