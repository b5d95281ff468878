#pragma once
// Resuming a run after a restart. With the option ticked, a run started with
// Start is recorded in the settings and written through before its first
// frame, so a killed program or a power cut leaves it recorded; the desktop's
// autostart entry starts the program with --resume at the next login, and it
// captures on with the same source, interval, frame options, active hours
// and folder.
#include <string>

namespace schedule {

// Ticks or unticks "Resume capturing after a restart"; ticking writes the
// autostart entry, unticking removes it and forgets any recorded job. An
// entry that cannot be written: error 75, and the option stays as it was.
void setResumeEnabled(bool enabled);
// The autostart entry: autostart/ in the user's config folder, named after
// the program's desktop entry.
std::string autostartEntryPath();

// A source's identity by its index in the driver list, and the index of the
// source with an identity (-1 while none in the list has it).
std::string sourceIdentity(int index);
int findSource(const std::string& identity);

}  // namespace schedule
