#pragma once
// The program's command line, in the GNU style (--help, --version, options
// with values). What it asks for that needs no window is done here, with no
// display at all; what is left is for the window.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "schedule/activehours.h"

namespace cmdline {

// What the command line leaves for the window to do.
struct Options {
  // A run asked for on the command line; every value holds for this run
  // only and is never remembered.
  std::optional<std::string> source;           // --source: the list entry to choose
  std::optional<std::string> interval;         // --interval: whole seconds
  std::optional<std::string> folder;           // --folder: made, absolute
  std::optional<schedule::ActiveHours> hours;  // --active-hours or --daylight
  std::optional<std::string> sendTo;           // --send-to: a folder (made, absolute) or REMOTE:PATH
  std::optional<int> keepDays;                 // --keep-days
  bool dailyVideo = false;                     // --daily-video
  bool start = false;                          // --start: capture at once, no box
  bool resume = false;                         // --resume: capture on with the recorded job
  bool noWindow = false;                       // --no-window: no window and no display at all
  // --web [ADDRESS:]PORT: the web page on for this run (loopback when no
  // address is given), with --web-password-file's first line as its
  // password (else the remembered one), HTTPS from --web-cert and --web-key.
  struct Web {
    std::string address = "127.0.0.1";
    int port = 8080;
    std::optional<std::string> password;
    std::string certFile, keyFile;
    bool operator==(const Web&) const = default;
  };
  std::optional<Web> web;
  // --control NAME=VALUE: camera controls for this run, in the order given.
  std::vector<std::pair<std::string, int64_t>> controls;
};

struct Parsed {
  // Set when the command line was handled here (help, version, a bad value):
  // the program ends with this status and opens no window.
  std::optional<int> exitStatus;
  Options options;
};

// Parses the command line; prints help, the version, the list of sources or
// a one-line error (exit status 2, nothing started or written) as asked.
Parsed parse(int argc, char** argv);

}  // namespace cmdline
