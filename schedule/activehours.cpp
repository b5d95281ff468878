#include "schedule/activehours.h"

#include <QDate>
#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <system_error>
#include <vector>

namespace schedule {
namespace {

constexpr Instant kDay = 86400;
constexpr qint64 kUnixEpochJulianDay = 2440588;

Instant floorDiv(Instant a, Instant b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A time zone's offset from UTC at any instant: a named zone from the time
// zone database, or the system's local time as the C library keeps it.
class Zone {
 public:
  explicit Zone(const std::string& name) {
    if (name.empty()) return;
    static std::map<std::string, QTimeZone> known;
    auto it = known.find(name);
    if (it == known.end()) it = known.emplace(name, QTimeZone(QByteArray::fromStdString(name))).first;
    named_ = &it->second;
  }
  // Seconds east of UTC.
  int offsetAt(Instant t) const {
    if (named_)
      return named_->isValid() ? named_->offsetFromUtc(QDateTime::fromSecsSinceEpoch(t, Qt::UTC)) : 0;
    return QDateTime::fromSecsSinceEpoch(t, Qt::LocalTime).offsetFromUtc();
  }

 private:
  const QTimeZone* named_ = nullptr;
};

// A local date and the seconds since its midnight.
struct Local {
  QDate date;
  int seconds = 0;
};

Local localOf(Instant t, const Zone& zone) {
  const Instant wall = t + zone.offsetAt(t);
  const Instant days = floorDiv(wall, kDay);
  return {QDate::fromJulianDay(days + kUnixEpochJulianDay), static_cast<int>(wall - days * kDay)};
}

// The instant of a local date and time (see instantOf).
Instant instantAt(const QDate& date, int seconds, const Zone& zone) {
  const Instant wall = (date.toJulianDay() - kUnixEpochJulianDay) * kDay + seconds;
  // Clocks change at most once within a day either side.
  const int before = zone.offsetAt(wall - kDay);
  const int after = zone.offsetAt(wall + kDay);
  std::optional<Instant> first;
  for (const int offset : {before, after}) {
    const Instant candidate = wall - offset;
    if (zone.offsetAt(candidate) == offset && (!first || candidate < *first)) first = candidate;
  }
  if (first) return *first;
  // A time the clocks skipped: the moment they jumped, found by halving.
  Instant lo = wall - std::max(before, after);
  Instant hi = wall - std::min(before, after);
  while (hi - lo > 1) {
    const Instant mid = lo + (hi - lo) / 2;
    (zone.offsetAt(mid) == before ? lo : hi) = mid;
  }
  return hi;
}

// One stretch of capturing: from open to just before close.
struct Stretch {
  Instant open;
  Instant close;
};

// The stretch that opens on a local date, if any.
std::optional<Stretch> stretchOn(const ActiveHours& hours, const QDate& date, const Zone& zone) {
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

bool inside(const ActiveHours& hours, Instant t, const Zone& zone) {
  const QDate today = localOf(t, zone).date;
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

Instant instantOf(const vba::DateTime& local, const std::string& zone) {
  return instantAt(QDate(local.year, local.month, local.day),
                   (local.hour * 60 + local.minute) * 60 + local.second, Zone(zone));
}

vba::DateTime localTime(Instant t, const std::string& zone) {
  const Local l = localOf(t, Zone(zone));
  return {l.date.year(), l.date.month(), l.date.day(), l.seconds / 3600, l.seconds / 60 % 60, l.seconds % 60};
}

bool captureNow(const ActiveHours& hours, Instant now, const std::string& zone) {
  return hours.mode == ActiveHours::Mode::Always || inside(hours, now, Zone(zone));
}

std::optional<Instant> nextOpening(const ActiveHours& hours, Instant now, const std::string& zone) {
  if (hours.mode == ActiveHours::Mode::Always) return std::nullopt;
  const Zone z(zone);
  const QDate today = localOf(now, z).date;
  for (int day = -1; day <= 370; ++day) {
    const std::optional<Stretch> s = stretchOn(hours, today.addDays(day), z);
    // A stretch that follows on from another (or overlaps it) opens nothing.
    if (s && s->open > now && !inside(hours, s->open - 1, z)) return s->open;
  }
  return std::nullopt;
}

std::optional<Instant> nextClosing(const ActiveHours& hours, Instant now, const std::string& zone) {
  if (hours.mode == ActiveHours::Mode::Always) return std::nullopt;
  const Zone z(zone);
  Instant t = now;
  for (int stretches = 0; stretches <= 370; ++stretches) {
    std::optional<Instant> close;
    const QDate today = localOf(t, z).date;
    for (int day = -1; day <= 1; ++day) {
      const std::optional<Stretch> s = stretchOn(hours, today.addDays(day), z);
      if (s && s->open <= t && t < s->close) close = std::max(close.value_or(s->close), s->close);
    }
    if (!close) return t == now ? std::nullopt : std::optional(t);
    t = *close;
  }
  return std::nullopt;
}

std::string openingText(Instant opening, Instant now, const std::string& zone) {
  const Zone z(zone);
  const qint64 days = localOf(now, z).date.daysTo(localOf(opening, z).date);
  const vba::DateTime at = localTime(opening, zone);
  const std::string day = days == 0   ? ""
                          : days == 1 ? "tomorrow "
                                      : "on " + vba::Format(at, "dd/MM/yyyy") + " ";
  return day + "at " + vba::Format(at, "hh:nn");
}

SunEvents sunOn(int year, int month, int day, double latitude, double longitude, const std::string& zone) {
  return sunEvents(instantAt(QDate(year, month, day), 12 * 3600, Zone(zone)), latitude, longitude);
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
