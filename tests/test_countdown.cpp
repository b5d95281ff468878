// The one-second countdown: what the status line shows on each tick and on
// which ticks a frame is written, whatever is typed as the interval.
#include <gtest/gtest.h>

#include <QLocale>

#include "tests/fakes/MainWindowFixture.h"

namespace {

class Countdown : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    open({"Cam A"});
    startLive();
  }
  // Runs one tick as the timer does; returns the status and whether a frame
  // was written.
  std::pair<std::string, bool> tick() {
    const auto before = frames().size();
    runTick();
    return {form->lblStatus.Caption(), frames().size() > before};
  }
  static std::string statusText(const std::string& n) { return "Time till next capture: " + n + " secs."; }

  testsupport::ScopedLocale locale_{testsupport::englishLocale()};
};

TEST_F(Countdown, IntervalsCountDownAndSaveOnTheRightTick) {
  struct Case {
    const char* interval;
    std::vector<std::string> shown;  // one per tick
    std::vector<int> frameTicks;     // 1-based
    bool german = false;             // the user's decimal comma
  };
  const Case cases[] = {
      {"20",
       {"19", "18", "17", "16", "15", "14", "13", "12", "11", "10", "9",
        "8",  "7",  "6",  "5",  "4",  "3",  "2",  "1",  "0",  "19"},
       {20}},
      {"2.5", {"1.5", "0.5", "1.5", "0.5"}, {2, 4}},
      {"3.5", {"2.5", "1.5", "0.5", "-0.5", "2.5"}, {4}},
      {"0", {"-1", "-1", "-1"}, {1, 2, 3}},
      {"-5", {"-6", "-6"}, {1, 2}},
      {" 4 ", {"3", "2", "1", "0"}, {4}},
      {"2,5", {"1,5", "0,5"}, {2}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.interval);
    const testsupport::ScopedLocale locale(c.german ? testsupport::germanLocale()
                                                    : testsupport::englishLocale());
    form->elapsedSecs = 0;
    form->txtTmr.SetText(c.interval);
    std::vector<int> frames;
    for (size_t i = 0; i < c.shown.size(); ++i) {
      const auto [status, saved] = tick();
      EXPECT_EQ(status, statusText(c.shown[i])) << "tick " << i + 1;
      if (saved) frames.push_back(int(i) + 1);
    }
    EXPECT_EQ(frames, c.frameTicks);
  }
}

TEST_F(Countdown, ChangingTheIntervalWhileRunningTakesEffectOnTheNextTick) {
  // Raised from 20 to 60 at 15: nothing at 20, the next frame at 60.
  for (int i = 0; i < 15; ++i) tick();
  form->txtTmr.SetText("60");
  int firstFrame = 0;
  for (int t = 16; t <= 60 && !firstFrame; ++t)
    if (tick().second) firstFrame = t;
  EXPECT_EQ(firstFrame, 60);

  // Lowered from 60 to 10 at 30: a frame at once, the status shows -21.
  for (int i = 0; i < 30; ++i) tick();
  form->txtTmr.SetText("10");
  const auto [status, saved] = tick();
  EXPECT_EQ(status, statusText("-21"));
  EXPECT_TRUE(saved);
  EXPECT_EQ(form->elapsedSecs, 0);
}

TEST_F(Countdown, TextThatIsNotAValidIntervalKeepsTheLastOneInForce) {
  form->txtTmr.SetText("10");
  for (int i = 0; i < 3; ++i) tick();
  for (const char* bad : {"abc", "", "40000", "-40000", "1e9"}) {
    SCOPED_TRACE(bad);
    form->txtTmr.SetText(bad);
    const double before = form->elapsedSecs;
    const auto [status, saved] = tick();
    EXPECT_EQ(form->elapsedSecs, before + 1) << "the second still counts";
    EXPECT_NE(status.find("not valid"), std::string::npos) << status;
    EXPECT_NE(status.find("using 10"), std::string::npos) << status;
    EXPECT_FALSE(saved);
  }
  // Eight seconds counted: two more with the last valid interval give a frame.
  form->txtTmr.SetText("x");
  tick();
  EXPECT_TRUE(tick().second);
  // A valid text takes effect on the next tick.
  form->txtTmr.SetText("3");
  EXPECT_EQ(tick().first, statusText("2"));
}

// Ticks that a busy UI thread held up come one after the other, with no new
// picture painted between them: the picture saved already is not saved again,
// and the count starts over, so the next frame still falls on the schedule.
TEST_F(Countdown, TicksWithoutANewPictureNeverSaveItTwice) {
  form->txtTmr.SetText("1");
  EXPECT_TRUE(tick().second);
  const auto before = frames().size();
  form->tmrCapture.OnTimer();
  EXPECT_EQ(frames().size(), before) << "the same picture saved twice";
  EXPECT_EQ(form->elapsedSecs, 0);
  EXPECT_TRUE(tick().second);
}

}  // namespace
