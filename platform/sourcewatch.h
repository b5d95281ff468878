#pragma once
// When a capture window's source counts as lost, and when a lost one is
// tried again. A connected source is lost when it fails, ends or goes away,
// when it sends no new picture for 2 s, or no first one within 5 s of being
// connected (at Start and after each return: a camera's start-up, exposure
// and the media server's linking take a moment). A lost source is tried
// again after 0.5, 1, 2 and then every 3 s, and at once when its device comes
// back. The clock is given, so tests step it rather than wait.
#include <chrono>
#include <functional>
#include <optional>

namespace avicap32 {

class SourceWatch {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SourceWatch(std::function<Clock::time_point()> now = Clock::now);

  // Connected afresh (Start): the waits between attempts start over.
  void start();
  // Connected again after a loss, or started again in another mode.
  void reconnected();
  // Disconnected on purpose: neither lost nor live.
  void stop();
  // A new picture came.
  void newPicture();
  // Lost now (it failed, ended, went away or stalled, or connecting it again
  // failed): the next attempt is scheduled. True when this is the first loss
  // since the source was started or last sent a picture.
  bool lose();
  // Its device came back: a lost source is due to be tried again at once.
  void deviceReturned();

  bool lost() const { return lost_; }
  // A connected source whose picture is overdue: lose it.
  bool stalled() const;
  // A lost source due to be tried again.
  bool retryDue() const;
  // A picture came within the last 2 s and the source is not lost.
  bool recent() const;

 private:
  std::function<Clock::time_point()> now_;
  bool connected_ = false;  // from start to stop
  bool lost_ = false;
  int retries_ = 0;  // attempts since the source was started or last sent a picture
  Clock::time_point startedAt_;
  std::optional<Clock::time_point> pictureAt_;  // when the newest picture came
  Clock::time_point retryAt_;
};

}  // namespace avicap32
