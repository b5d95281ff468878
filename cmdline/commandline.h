#pragma once
// The program's command line, in the GNU style (--help, --version, options
// with values). What it asks for that needs no window is done here, with no
// display at all; what is left is for the window.
#include <optional>

namespace cmdline {

// What the command line leaves for the window to do.
struct Options {};

struct Parsed {
  // Set when the command line was handled here (help, version, a bad value):
  // the program ends with this status and opens no window.
  std::optional<int> exitStatus;
  Options options;
};

// Parses the command line; prints help, the version or a one-line error
// (exit status 2) as asked.
Parsed parse(int argc, char** argv);

}  // namespace cmdline
