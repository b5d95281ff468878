#pragma once
// Sunrise and sunset computed on the machine with the NOAA solar equations
// (after Meeus): the moments the sun's centre is 90.833 degrees from the
// zenith, which allows for refraction and the sun's radius, seen at sea level.
#include <cstdint>

namespace schedule {

struct SunEvents {
  enum class Kind {
    Normal,     // the sun rises and sets
    PolarDay,   // it stays up all day
    PolarNight  // it stays down all day
  };
  Kind kind = Kind::Normal;
  // On a normal day: seconds since 1970-01-01 00:00 UTC.
  int64_t sunrise = 0;
  int64_t sunset = 0;
};

// The sunrise and sunset around the solar noon nearest to `midday` (seconds
// since 1970-01-01 00:00 UTC, such as local noon of the day wanted), at a
// latitude in degrees north and a longitude in degrees east.
SunEvents sunEvents(int64_t midday, double latitude, double longitude);

}  // namespace schedule
