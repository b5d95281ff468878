#include "schedule/localtime.h"

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <chrono>
#include <map>

namespace schedule {
namespace {

constexpr Instant kDay = 86400;

// A time zone's offset from UTC at any instant: a named zone from the time
// zone database, or the system's local time as the C library keeps it.
class Zone {
 public:
  explicit Zone(const std::string& name) {
    if (name.empty()) return;
    // One per thread: the video maker reads frame names on a thread of its own.
    thread_local std::map<std::string, QTimeZone> known;
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

Instant floorDiv(Instant a, Instant b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

Instants instantsOf(const vba::DateTime& local, const std::string& zoneName) {
  using namespace std::chrono;
  const Zone zone(zoneName);
  const year_month_day date{year{local.year}, month{static_cast<unsigned>(local.month)},
                            day{static_cast<unsigned>(local.day)}};
  const Instant wall = Instant{sys_days(date).time_since_epoch().count()} * kDay +
                       (local.hour * 60 + local.minute) * 60 + local.second;
  // Clocks change at most once within a day either side.
  const int before = zone.offsetAt(wall - kDay);
  const int after = zone.offsetAt(wall + kDay);
  Instants found{};
  bool any = false;
  for (const int offset : {before, after}) {
    const Instant candidate = wall - offset;
    if (zone.offsetAt(candidate) != offset) continue;
    found = any ? Instants{std::min(found.earlier, candidate), std::max(found.later, candidate)}
                : Instants{candidate, candidate};
    any = true;
  }
  if (any) return found;
  // A time the clocks skipped: the moment they jumped, found by halving.
  Instant lo = wall - std::max(before, after);
  Instant hi = wall - std::min(before, after);
  while (hi - lo > 1) {
    const Instant mid = lo + (hi - lo) / 2;
    (zone.offsetAt(mid) == before ? lo : hi) = mid;
  }
  return {hi, hi};
}

Instant instantOf(const vba::DateTime& local, const std::string& zone) {
  return instantsOf(local, zone).earlier;
}

vba::DateTime localTime(Instant t, const std::string& zoneName) {
  using namespace std::chrono;
  const Instant wall = t + Zone(zoneName).offsetAt(t);
  const Instant days = floorDiv(wall, kDay);
  const auto seconds = static_cast<int>(wall - days * kDay);
  const year_month_day date{sys_days{std::chrono::days{days}}};
  return {int(date.year()),
          static_cast<int>(unsigned(date.month())),
          static_cast<int>(unsigned(date.day())),
          seconds / 3600,
          seconds / 60 % 60,
          seconds % 60};
}

}  // namespace schedule
