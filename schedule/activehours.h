#pragma once
// Active hours: when a time-lapse run takes frames. Always (the default);
// between two times of day on chosen weekdays (a stretch that crosses
// midnight belongs to the day it opens on); or from sunrise to sunset at a
// place, opening some minutes before sunrise and closing some minutes after
// sunset. Times of day are local times, through daylight-saving changes.
// The decisions are pure functions of the rules, an instant and a time zone.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/vba.h"
#include "schedule/localtime.h"
#include "schedule/suntimes.h"

namespace schedule {

struct ActiveHours {
  enum class Mode { Always, Between, Daylight };
  Mode mode = Mode::Always;
  // Between: minutes after midnight; from == to is the whole day.
  int from = 7 * 60;
  int to = 19 * 60 + 30;
  // Between: the days a stretch may open on, bit 0 Monday to bit 6 Sunday.
  unsigned weekdays = 0x7F;
  // Daylight: the place, in degrees north and east, and the minutes added
  // before sunrise and after sunset (negative: after sunrise, before sunset).
  double latitude = 0;
  double longitude = 0;
  int minutesBeforeSunrise = 0;
  int minutesAfterSunset = 0;
  bool operator==(const ActiveHours&) const = default;
};

// Time zones are named as in the time zone database ("Europe/Berlin"); an
// empty name is the system's own.
// Whether frames are taken at the instant.
bool captureNow(const ActiveHours& hours, Instant now, const std::string& zone = "");
// When capturing next begins after now: the start of the next active stretch
// (while one is on, the one after it). None for Always, or when nothing
// opens within a year.
std::optional<Instant> nextOpening(const ActiveHours& hours, Instant now, const std::string& zone = "");
// While frames are taken at now: when that stops (stretches that follow on
// from one another close with the last). None for Always, when frames are
// not taken at now, or when nothing closes within a year.
std::optional<Instant> nextClosing(const ActiveHours& hours, Instant now, const std::string& zone = "");

// When an opening falls, as the status line says it: "at 06:42" today,
// "tomorrow at 06:42", or "on 09/03/2007 at 06:42" further ahead.
std::string openingText(Instant opening, Instant now, const std::string& zone = "");

// Sunrise and sunset on a local date at a place.
SunEvents sunOn(int year, int month, int day, double latitude, double longitude,
                const std::string& zone = "");

// The command line's forms: "HH:MM-HH:MM" (every day) and "LATITUDE,LONGITUDE"
// in degrees with a decimal point (sunrise to sunset there). None when the
// text names no such hours or place.
std::optional<ActiveHours> parseBetween(const std::string& text);
std::optional<ActiveHours> parseDaylight(const std::string& text);

}  // namespace schedule
