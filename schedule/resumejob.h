#pragma once
// Resuming a run after a restart. With the option ticked, a run started with
// Start is recorded in the settings (section "Job") and written through
// before its first frame, so a killed program or a power cut leaves it
// recorded; the desktop's autostart entry starts the program with --resume
// at the next login, and it captures on with the same source, interval,
// frame options, active hours and folder.
#include <optional>
#include <string>

#include "schedule/activehours.h"

namespace schedule {

struct Job {
  std::string source;      // the source's identity (CaptureDriver::identity)
  std::string sourceName;  // its entry in the source list
  std::string interval;    // the interval as typed
  std::string folder;      // where its frames go
  ActiveHours hours;
};

// Whether "Resume capturing after a restart" is ticked (section "Resume").
bool resumeEnabled();
// Ticks or unticks it; ticking writes the autostart entry, unticking removes
// it and any recorded job. An entry that cannot be written: error 75, and the
// option stays as it was.
void setResumeEnabled(bool enabled);
// The autostart entry: autostart/ in the user's config folder, named after
// the program's desktop entry.
std::string autostartEntryPath();

// Records the job, with a copy of the frame options (every key of section
// "Frames"), replacing any recorded before.
void recordJob(const Job& job);
std::optional<Job> recordedJob();
// Forgets the recorded job; nothing is written when there is none.
void clearJob();
// Puts the recorded job's frame options back into section "Frames", so the
// resumed run takes frames as the recorded one did.
void restoreFrameOptions();

// A source's identity by its index in the driver list, and the index of the
// source with an identity (-1 while none in the list has it).
std::string sourceIdentity(int index);
int findSource(const std::string& identity);

}  // namespace schedule
