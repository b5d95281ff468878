#pragma once
// Local dates and times and the instants they name, with one rule for the
// hours the clocks skip or repeat when daylight saving begins or ends. Time
// zones are named as in the time zone database ("Europe/Berlin"); an empty
// name is the system's own.
#include <cstdint>
#include <string>

#include "platform/vba.h"

namespace schedule {

// Seconds since 1970-01-01 00:00 UTC.
using Instant = int64_t;

// The instants a local date and time names. One as a rule (earlier equals
// later); two in the hour repeated when the clocks go back; a time the clocks
// skip when they go forward names the moment they jumped.
struct Instants {
  Instant earlier = 0;
  Instant later = 0;
};
Instants instantsOf(const vba::DateTime& local, const std::string& zone = "");
// The earlier of them.
Instant instantOf(const vba::DateTime& local, const std::string& zone = "");
vba::DateTime localTime(Instant t, const std::string& zone = "");

}  // namespace schedule
