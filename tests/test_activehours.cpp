// Sun times against published figures, and the active-hours decisions:
// capture now, when capturing next begins, and when it stops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "schedule/activehours.h"

namespace {

using schedule::ActiveHours;
using schedule::SunEvents;
using Kind = SunEvents::Kind;

std::string hhmm(schedule::Instant t, const std::string& zone) {
  return vba::Format(schedule::localTime(t, zone), "hh:nn");
}

// Minutes from a published local time "HH:MM" to a computed instant.
long minutesOff(schedule::Instant t, const std::string& published, const std::string& zone) {
  const vba::DateTime at = schedule::localTime(t, zone);
  const int want = std::stoi(published.substr(0, 2)) * 60 + std::stoi(published.substr(3));
  return std::labs((at.hour * 60 + at.minute) - want);
}

TEST(SunTimes, MatchPublishedFiguresWithinTwoMinutes) {
  struct Case {
    const char* place;
    double latitude, longitude;
    const char* zone;
    int year, month, day;
    Kind kind;
    const char* sunrise;
    const char* sunset;
  };
  const Case cases[] = {
      // The tropics: the year's earliest sunrises and sunsets, and its latest.
      {"Singapore", 1.2897, 103.8501, "Asia/Singapore", 2024, 11, 3, Kind::Normal, "06:46", "18:50"},
      {"Singapore", 1.2897, 103.8501, "Asia/Singapore", 2025, 2, 11, Kind::Normal, "07:17", "19:21"},
      // Mid-latitudes at midwinter, and the days either side of the clocks
      // going forward (the second is a daylight-saving day).
      {"Chichester", 50.8365, -0.7792, "Europe/London", 2021, 12, 21, Kind::Normal, "08:03", "15:59"},
      {"New York", 40.7128, -74.0060, "America/New_York", 2025, 3, 8, Kind::Normal, "06:18", "17:55"},
      {"New York", 40.7128, -74.0060, "America/New_York", 2025, 3, 9, Kind::Normal, "07:16", "18:56"},
      // Above the Arctic Circle: midnight sun and polar night.
      {"Tromsø", 69.6496, 18.9560, "Europe/Oslo", 2024, 6, 21, Kind::PolarDay, "", ""},
      {"Tromsø", 69.6496, 18.9560, "Europe/Oslo", 2024, 12, 21, Kind::PolarNight, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.place) + " " + std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                 std::to_string(c.day));
    const SunEvents sun = schedule::sunOn(c.year, c.month, c.day, c.latitude, c.longitude, c.zone);
    ASSERT_EQ(sun.kind, c.kind);
    if (c.kind != Kind::Normal) continue;
    EXPECT_LE(minutesOff(sun.sunrise, c.sunrise, c.zone), 2) << "sunrise " << hhmm(sun.sunrise, c.zone);
    EXPECT_LE(minutesOff(sun.sunset, c.sunset, c.zone), 2) << "sunset " << hhmm(sun.sunset, c.zone);
  }
}

ActiveHours between(int from, int to, unsigned weekdays = 0x7F) {
  ActiveHours h;
  h.mode = ActiveHours::Mode::Between;
  h.from = from;
  h.to = to;
  h.weekdays = weekdays;
  return h;
}

ActiveHours daylight(double latitude, double longitude, int before, int after) {
  ActiveHours h;
  h.mode = ActiveHours::Mode::Daylight;
  h.latitude = latitude;
  h.longitude = longitude;
  h.minutesBeforeSunrise = before;
  h.minutesAfterSunset = after;
  return h;
}

constexpr int H = 60;  // minutes in an hour

TEST(ActiveHours, DecideCaptureNowAndNextOpening) {
  struct Case {
    const char* what;
    ActiveHours hours;
    vba::DateTime now;  // local time in Berlin, or Tromsø for the polar cases
    bool capture;
    std::optional<vba::DateTime> next;
    int slackMinutes;  // sun times: published to the minute
  };
  const ActiveHours day = between(7 * H, 19 * H + 30);
  const ActiveHours night = between(22 * H, 4 * H);
  const Case cases[] = {
      // 2024-06-12 is a Wednesday.
      {"inside", day, {2024, 6, 12, 12, 0, 0}, true, vba::DateTime{2024, 6, 13, 7, 0, 0}, 0},
      {"a second before", day, {2024, 6, 12, 6, 59, 59}, false, vba::DateTime{2024, 6, 12, 7, 0, 0}, 0},
      {"at the opening", day, {2024, 6, 12, 7, 0, 0}, true, vba::DateTime{2024, 6, 13, 7, 0, 0}, 0},
      {"at the closing", day, {2024, 6, 12, 19, 30, 0}, false, vba::DateTime{2024, 6, 13, 7, 0, 0}, 0},
      {"across midnight, evening",
       night,
       {2024, 6, 12, 23, 0, 0},
       true,
       vba::DateTime{2024, 6, 13, 22, 0, 0},
       0},
      {"across midnight, morning",
       night,
       {2024, 6, 13, 3, 59, 59},
       true,
       vba::DateTime{2024, 6, 13, 22, 0, 0},
       0},
      {"across midnight, closed",
       night,
       {2024, 6, 13, 4, 0, 0},
       false,
       vba::DateTime{2024, 6, 13, 22, 0, 0},
       0},
      {"weekdays only, on Saturday",
       between(7 * H, 19 * H + 30, 0x1F),
       {2024, 6, 15, 12, 0, 0},
       false,
       vba::DateTime{2024, 6, 17, 7, 0, 0},
       0},
      {"Friday night, into Saturday",
       between(22 * H, 4 * H, 0x10),
       {2024, 6, 15, 2, 0, 0},
       true,
       vba::DateTime{2024, 6, 21, 22, 0, 0},
       0},
      {"a whole day",
       between(0, 0, 0x7F & ~0x40U),
       {2024, 6, 16, 12, 0, 0},
       false,
       vba::DateTime{2024, 6, 17, 0, 0, 0},
       0},
      // Clocks go from 02:00 to 03:00 on 2024-03-31: the stretch opens when they jump.
      {"opening skipped by the clocks",
       between(2 * H + 30, 3 * H + 30),
       {2024, 3, 31, 1, 0, 0},
       false,
       vba::DateTime{2024, 3, 31, 3, 0, 0},
       0},
      {"the day after the clocks change",
       day,
       {2024, 3, 30, 20, 0, 0},
       false,
       vba::DateTime{2024, 3, 31, 7, 0, 0},
       0},
      {"always", ActiveHours{}, {2024, 6, 12, 3, 0, 0}, true, std::nullopt, 0},
      // Berlin at midsummer: sunrise 04:43, sunset 21:33, half an hour either side.
      {"before sunrise",
       daylight(52.52, 13.405, 30, 30),
       {2024, 6, 21, 4, 0, 0},
       false,
       vba::DateTime{2024, 6, 21, 4, 13, 0},
       2},
      {"after sunset",
       daylight(52.52, 13.405, 30, 30),
       {2024, 6, 21, 21, 50, 0},
       true,
       vba::DateTime{2024, 6, 22, 4, 13, 0},
       2},
      // Tromsø: the polar night lasts from 27 November to 15 January; the
      // midnight sun, as seen with refraction, into the last week of July.
      {"midnight sun",
       daylight(69.6496, 18.956, 0, 0),
       {2024, 6, 21, 0, 30, 0},
       true,
       vba::DateTime{2024, 7, 24, 12, 0, 0},
       48 * H},
      {"polar night",
       daylight(69.6496, 18.956, 0, 0),
       {2024, 12, 21, 12, 0, 0},
       false,
       vba::DateTime{2025, 1, 15, 12, 0, 0},
       24 * H},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string zone = c.slackMinutes > 2 ? "Europe/Oslo" : "Europe/Berlin";
    const schedule::Instant now = schedule::instantOf(c.now, zone);
    EXPECT_EQ(schedule::captureNow(c.hours, now, zone), c.capture);
    // While capturing, when that stops: the first instant it does.
    const std::optional<schedule::Instant> closing = schedule::nextClosing(c.hours, now, zone);
    EXPECT_EQ(closing.has_value(), c.capture && c.hours.mode != ActiveHours::Mode::Always);
    if (closing) {
      EXPECT_TRUE(schedule::captureNow(c.hours, *closing - 1, zone));
      EXPECT_FALSE(schedule::captureNow(c.hours, *closing, zone));
    }
    const std::optional<schedule::Instant> next = schedule::nextOpening(c.hours, now, zone);
    ASSERT_EQ(next.has_value(), c.next.has_value());
    if (!next) continue;
    const schedule::Instant want = schedule::instantOf(*c.next, zone);
    EXPECT_LE(std::llabs(*next - want), c.slackMinutes * 60LL)
        << vba::Format(schedule::localTime(*next, zone), "dd/MM/yyyy hh:nn:ss");
  }
}

}  // namespace
