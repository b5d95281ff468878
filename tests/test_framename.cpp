// Frame names made from a moment and read back to the moments they stand
// for, across a month end and both daylight-saving changes in Berlin; names
// that are not frames refused.
#include <gtest/gtest.h>

#include <QDateTime>
#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "schedule/localtime.h"
#include "store/framename.h"

namespace {

constexpr const char* kZone = "Europe/Berlin";

schedule::Instant utc(const char* iso) { return QDateTime::fromString(iso, Qt::ISODate).toSecsSinceEpoch(); }

TEST(FrameName, MadeFromAMomentAndReadBackToIt) {
  struct Case {
    const char* takenUtc;
    int suffix;
    const char* extension;
    const char* name;
    const char* otherUtc;  // the other moment the name stands for, if any
  };
  const Case cases[] = {
      // A month end: the day comes first, so the names sort by day of month.
      {"2024-01-31T22:59:59Z", 1, ".bmp", "31_01_2024 235959.bmp", ""},
      {"2024-01-31T23:00:00Z", 2, ".png", "01_02_2024 000000_2.png", ""},
      // The clocks go forward at 02:00: from 01:59:59 to 03:00:00.
      {"2024-03-31T00:59:59Z", 1, ".jpg", "31_03_2024 015959.jpg", ""},
      {"2024-03-31T01:00:00Z", 10, ".jpg", "31_03_2024 030000_10.jpg", ""},
      // The clocks go back at 03:00: 02:30 comes twice, an hour apart.
      {"2024-10-27T00:30:00Z", 1, ".bmp", "27_10_2024 023000.bmp", "2024-10-27T01:30:00Z"},
      {"2024-10-27T01:30:00Z", 2, ".bmp", "27_10_2024 023000_2.bmp", "2024-10-27T00:30:00Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const schedule::Instant taken = utc(c.takenUtc);
    const vba::DateTime local = schedule::localTime(taken, kZone);
    const std::string name = framename::suffixed(framename::baseName(local), c.suffix) + c.extension;
    EXPECT_EQ(name, c.name);
    const std::optional<framename::Parsed> parsed = framename::parse(name);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::tie(parsed->taken, parsed->suffix, parsed->extension),
              std::tie(local, c.suffix, c.extension));
    const schedule::Instant other = *c.otherUtc ? utc(c.otherUtc) : taken;
    const schedule::Instants moments = schedule::instantsOf(parsed->taken, kZone);
    EXPECT_EQ(std::pair(moments.earlier, moments.later),
              std::pair(std::min(taken, other), std::max(taken, other)));
  }
}

TEST(FrameName, RefusesWhatIsNotAFrameName) {
  for (const char* name :
       {"31_02_2024 120000.bmp", "05_03_2007 240000.bmp", "05_03_2007 086000.bmp", "05_03_2007 080409_1.bmp",
        "05_03_2007 080409_02.bmp", "05_03_2007 080409_.bmp", "05_03_2007 080409_2x.bmp",
        "05_03_2007 080409.gif", "05_03_2007 080409", "5_03_2007 080409.bmp", "05-03-2007 080409.bmp",
        "05_03_2007 08040x.bmp", "05_03_2007 080409 .bmp", "notes.txt"}) {
    EXPECT_FALSE(framename::parse(name)) << name;
  }
}

}  // namespace
