#include "schedule/activehours.h"

#include <QDate>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>
#include <vector>

namespace schedule {
namespace {

// The instant of a local date and a time of day in seconds, as instantOf reads it.
Instant instantAt(const QDate& date, int seconds, const std::string& zone) {
  return instantOf({date.year(), date.month(), date.day(), seconds / 3600, seconds / 60 % 60, seconds % 60},
                   zone);
}

QDate localDate(Instant t, const std::string& zone) {
  const vba::DateTime local = localTime(t, zone);
  return QDate(local.year, local.month, local.day);
}

// One stretch of capturing: from open to just before close.
struct Stretch {
  Instant open;
  Instant close;
};

// The stretch that opens on a local date, if any.
std::optional<Stretch> stretchOn(const ActiveHours& hours, const QDate& date, const std::string& zone) {
  if (hours.mode == ActiveHours::Mode::Between) {
    if (((hours.weekdays >> (date.dayOfWeek() - 1)) & 1U) == 0) return std::nullopt;
    const QDate closing = hours.to > hours.from ? date : date.addDays(1);
    return Stretch{instantAt(date, hours.from * 60, zone), instantAt(closing, hours.to * 60, zone)};
  }
  if (hours.mode != ActiveHours::Mode::Daylight) return std::nullopt;
  const SunEvents sun = sunEvents(instantAt(date, 12 * 3600, zone), hours.latitude, hours.longitude);
  switch (sun.kind) {
    case SunEvents::Kind::PolarNight:
      return std::nullopt;
    case SunEvents::Kind::PolarDay:
      return Stretch{instantAt(date, 0, zone), instantAt(date.addDays(1), 0, zone)};
    case SunEvents::Kind::Normal:
      break;
  }
  const Stretch s{sun.sunrise - hours.minutesBeforeSunrise * 60, sun.sunset + hours.minutesAfterSunset * 60};
  if (s.open >= s.close) return std::nullopt;
  return s;
}

bool inside(const ActiveHours& hours, Instant t, const std::string& zone) {
  const QDate today = localDate(t, zone);
  // Yesterday's stretch may reach past midnight, tomorrow's (with minutes
  // before sunrise) may begin before it.
  for (int day = -1; day <= 1; ++day) {
    const std::optional<Stretch> s = stretchOn(hours, today.addDays(day), zone);
    if (s && s->open <= t && t < s->close) return true;
  }
  return false;
}

// The whole text as a finite number; none otherwise.
template <typename T = int>
std::optional<T> number(const std::string& text) {
  T value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(static_cast<double>(value))) {
    return std::nullopt;
  }
  return value;
}

// "HH:MM" (or "H:MM") as minutes after midnight.
std::optional<int> timeOfDay(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 1 || colon > 2 || text.size() != colon + 3) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c == ':' || (c >= '0' && c <= '9'); })) {
    return std::nullopt;
  }
  const int hours = *number(text.substr(0, colon));
  const int minutes = *number(text.substr(colon + 1));
  if (hours > 23 || minutes > 59) return std::nullopt;
  return hours * 60 + minutes;
}

}  // namespace

bool captureNow(const ActiveHours& hours, Instant now, const std::string& zone) {
  return hours.mode == ActiveHours::Mode::Always || inside(hours, now, zone);
}

std::optional<Instant> nextOpening(const ActiveHours& hours, Instant now, const std::string& zone) {
  if (hours.mode == ActiveHours::Mode::Always) return std::nullopt;
  const QDate today = localDate(now, zone);
  for (int day = -1; day <= 370; ++day) {
    const std::optional<Stretch> s = stretchOn(hours, today.addDays(day), zone);
    // A stretch that follows on from another (or overlaps it) opens nothing.
    if (s && s->open > now && !inside(hours, s->open - 1, zone)) return s->open;
  }
  return std::nullopt;
}

std::optional<Instant> nextClosing(const ActiveHours& hours, Instant now, const std::string& zone) {
  if (hours.mode == ActiveHours::Mode::Always) return std::nullopt;
  Instant t = now;
  for (int stretches = 0; stretches <= 370; ++stretches) {
    std::optional<Instant> close;
    const QDate today = localDate(t, zone);
    for (int day = -1; day <= 1; ++day) {
      const std::optional<Stretch> s = stretchOn(hours, today.addDays(day), zone);
      if (s && s->open <= t && t < s->close) close = std::max(close.value_or(s->close), s->close);
    }
    if (!close) return t == now ? std::nullopt : std::optional(t);
    t = *close;
  }
  return std::nullopt;
}

std::string openingText(Instant opening, Instant now, const std::string& zone) {
  const qint64 days = localDate(now, zone).daysTo(localDate(opening, zone));
  const vba::DateTime at = localTime(opening, zone);
  const std::string day = days == 0   ? ""
                          : days == 1 ? "tomorrow "
                                      : "on " + vba::Format(at, "dd/MM/yyyy") + " ";
  return day + "at " + vba::Format(at, "hh:nn");
}

SunEvents sunOn(int year, int month, int day, double latitude, double longitude, const std::string& zone) {
  return sunEvents(instantOf({year, month, day, 12, 0, 0}, zone), latitude, longitude);
}

std::optional<ActiveHours> parseBetween(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const std::optional<int> from = timeOfDay(text.substr(0, dash));
  const std::optional<int> to = timeOfDay(text.substr(dash + 1));
  if (!from || !to) return std::nullopt;
  ActiveHours hours;
  hours.mode = ActiveHours::Mode::Between;
  hours.from = *from;
  hours.to = *to;
  return hours;
}

std::optional<ActiveHours> parseDaylight(const std::string& text) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return std::nullopt;
  const std::optional<double> latitude = number<double>(text.substr(0, comma));
  const std::optional<double> longitude = number<double>(text.substr(comma + 1));
  if (!latitude || !longitude || std::abs(*latitude) > 90 || std::abs(*longitude) > 180) return std::nullopt;
  ActiveHours hours;
  hours.mode = ActiveHours::Mode::Daylight;
  hours.latitude = *latitude;
  hours.longitude = *longitude;
  return hours;
}

}  // namespace schedule
