#pragma once
// Where the frames go. A copy that runs from a folder of its own (a build
// folder, an unpacked copy) keeps them in `captured` beside the program. An
// installed copy, or one whose folder it cannot write, keeps them in the
// user's pictures folder under Ferrowick/captured: the system's program
// folders are no place for a user's files, and every frame would fail there.
#include <string>

namespace framefolder {

// The folder frames are saved in, without a trailing separator, decided
// afresh on each call from the application folder (vba::AppPath, with its
// seam) and the environment.
std::string capturedFolder();

// Makes the missing folders above a capturedFolder() in the pictures folder
// (~/Pictures when that is the one used, and Ferrowick), so that only
// `captured` itself is left to make. Failures are left for the save to report.
void makeParentFolders(const std::string& capturedFolder);

// The user's pictures folder as `xdg-user-dir PICTURES` reports it: set in
// user-dirs.dirs, else by XDG_PICTURES_DIR in the environment; a folder that
// is missing (a disk not mounted) or not set gives ~/Pictures. Empty when
// there is no home folder at all.
std::string picturesFolder();

}  // namespace framefolder
