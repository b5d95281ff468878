// When a capture window's source counts as lost and when it is tried again,
// stepped through a clock of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "platform/sourcewatch.h"

namespace {

using avicap32::SourceWatch;

TEST(SourceWatch, LostWhenOverdueTriedAgainAfterGrowingWaitsAndAtOnceWhenBack) {
  SourceWatch::Clock::time_point now;
  SourceWatch watch([&] { return now; });
  // What happens at each step: nothing, Start, a new Picture, Lose, Connected
  // again, the device Back, sTop.
  const std::map<char, std::function<void()>> acts = {
      {'.', [] {}},
      {'S', [&] { watch.start(); }},
      {'P', [&] { watch.newPicture(); }},
      {'L', [&] { watch.lose(); }},
      {'C', [&] { watch.reconnected(); }},
      {'B', [&] { watch.deviceReturned(); }},
      {'T', [&] { watch.stop(); }},
  };
  struct Step {
    int atMs;
    char act;
    const char* state;  // lost, stalled, retry due, recent picture: the letter when true
  };
  const Step steps[] = {
      {0, 'S', "----"},     {5000, '.', "----"},   // 5 s for the first picture
      {5001, '.', "-s--"},  {5001, 'P', "---r"},   //
      {7001, '.', "---r"},  {7002, '.', "-s--"},   // 2 s without a new one
      {7002, 'L', "l---"},  {7501, '.', "l---"},   // tried again after 0.5 s,
      {7502, '.', "l-d-"},  {7502, 'L', "l---"},   // then 1 s,
      {8502, '.', "l-d-"},  {8502, 'L', "l---"},   // then 2 s,
      {10501, '.', "l---"}, {10502, '.', "l-d-"},  //
      {10502, 'L', "l---"}, {13501, '.', "l---"},  // then every 3 s
      {13502, '.', "l-d-"}, {13502, 'L', "l---"},  //
      {16501, '.', "l---"}, {16600, 'B', "l-d-"},  // at once when its device is back
      {16600, 'C', "----"}, {21601, '.', "-s--"},  // 5 s for its first picture again
      {21601, 'L', "l---"}, {22101, '.', "l-d-"},  // the waits started over
      {22101, 'C', "----"}, {23000, 'P', "---r"},  //
      {23000, 'B', "---r"}, {24000, 'L', "l---"},  // a picture made them start over too
      {24500, '.', "l-d-"}, {24500, 'T', "----"},  // Stop ends the waiting
      {40000, '.', "----"},
  };
  for (const Step& s : steps) {
    now = SourceWatch::Clock::time_point() + std::chrono::milliseconds(s.atMs);
    acts.at(s.act)();
    const std::string state = {watch.lost() ? 'l' : '-', watch.stalled() ? 's' : '-',
                               watch.retryDue() ? 'd' : '-', watch.recent() ? 'r' : '-'};
    EXPECT_EQ(state, s.state) << "at " << s.atMs << " ms, after " << s.act;
  }
}

}  // namespace
