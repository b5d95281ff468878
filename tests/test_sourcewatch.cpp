// When a capture window's source counts as lost and when it is tried again,
// stepped through a clock of the test's own.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/sourcewatch.h"

namespace {

using avicap32::SourceWatch;

TEST(SourceWatch, LostWhenOverdueTriedAgainAfterGrowingWaitsAndAtOnceWhenBack) {
  enum Act { Look, Start, Picture, Lose, Reconnected, Returned, Stop };
  struct Step {
    int atMs;
    Act act;
    bool lost, stalled, retryDue, recent;
  };
  const Step steps[] = {
      {0, Start, false, false, false, false},
      {5000, Look, false, false, false, false},  // 5 s for the first picture
      {5001, Look, false, true, false, false},
      {5001, Picture, false, false, false, true},
      {7001, Look, false, false, false, true},  // 2 s without a new one...
      {7002, Look, false, true, false, false},  // ...and no more
      {7002, Lose, true, false, false, false},
      {7501, Look, true, false, false, false},  // tried again after 0.5 s,
      {7502, Look, true, false, true, false},
      {7502, Lose, true, false, false, false},  // 1 s,
      {8502, Look, true, false, true, false},
      {8502, Lose, true, false, false, false},  // 2 s,
      {10501, Look, true, false, false, false},
      {10502, Look, true, false, true, false},
      {10502, Lose, true, false, false, false},  // then every 3 s
      {13502, Look, true, false, true, false},
      {13502, Lose, true, false, false, false},
      {16501, Look, true, false, false, false},
      {16600, Returned, true, false, true, false},  // at once when its device is back
      {16600, Reconnected, false, false, false, false},
      {21600, Look, false, false, false, false},  // 5 s for its first picture again
      {21601, Look, false, true, false, false},
      {21601, Lose, true, false, false, false},  // the waits started over
      {22101, Look, true, false, true, false},
      {22101, Reconnected, false, false, false, false},
      {23000, Picture, false, false, false, true},
      {23000, Returned, false, false, false, true},  // nothing to do while not lost
      {24000, Lose, true, false, false, false},      // a picture made the waits start over
      {24500, Look, true, false, true, false},
      {24500, Stop, false, false, false, false},  // Stop ends the waiting
      {40000, Look, false, false, false, false},
  };
  const auto t0 = SourceWatch::Clock::time_point();
  SourceWatch::Clock::time_point now = t0;
  SourceWatch watch([&] { return now; });
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "at " << s.atMs << " ms, step " << (&s - steps));
    now = t0 + std::chrono::milliseconds(s.atMs);
    switch (s.act) {
      case Look:
        break;
      case Start:
        watch.start();
        break;
      case Picture:
        watch.newPicture();
        break;
      case Lose:
        watch.lose();
        break;
      case Reconnected:
        watch.reconnected();
        break;
      case Returned:
        watch.deviceReturned();
        break;
      case Stop:
        watch.stop();
        break;
    }
    EXPECT_EQ(watch.lost(), s.lost);
    EXPECT_EQ(watch.stalled(), s.stalled);
    EXPECT_EQ(watch.retryDue(), s.retryDue);
    EXPECT_EQ(watch.recent(), s.recent);
  }
}

}  // namespace
