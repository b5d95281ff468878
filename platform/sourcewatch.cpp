#include "platform/sourcewatch.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace avicap32 {
namespace {

// A connected source that sends nothing new for this long is lost...
constexpr auto kStallTimeout = std::chrono::seconds(2);
// ...and one that sends no first picture for this long after connecting.
constexpr auto kFirstPictureTimeout = std::chrono::seconds(5);
// Waits between attempts to connect a lost source again: a few seconds at
// most, so a camera that comes back is live again soon.
constexpr std::chrono::milliseconds kRetryDelays[] = {std::chrono::milliseconds(500), std::chrono::seconds(1),
                                                      std::chrono::seconds(2), std::chrono::seconds(3)};

}  // namespace

SourceWatch::SourceWatch(std::function<Clock::time_point()> now) : now_(std::move(now)) {}

void SourceWatch::start() {
  retries_ = 0;
  reconnected();
}

void SourceWatch::reconnected() {
  connected_ = true;
  lost_ = false;
  startedAt_ = now_();
  pictureAt_.reset();
}

void SourceWatch::stop() {
  connected_ = false;
  lost_ = false;
  pictureAt_.reset();
}

void SourceWatch::newPicture() {
  pictureAt_ = now_();
  retries_ = 0;
}

bool SourceWatch::lose() {
  const Clock::time_point now = now_();
  lost_ = true;
  pictureAt_.reset();
  const size_t last = std::size(kRetryDelays) - 1;
  retryAt_ = now + kRetryDelays[std::min(static_cast<size_t>(retries_), last)];
  return retries_++ == 0;
}

void SourceWatch::deviceReturned() {
  if (!lost_) return;
  retryAt_ = now_();
  retries_ = 0;
}

bool SourceWatch::stalled() const {
  if (!connected_ || lost_) return false;
  const Clock::time_point now = now_();
  return pictureAt_ ? now - *pictureAt_ > kStallTimeout : now - startedAt_ > kFirstPictureTimeout;
}

bool SourceWatch::retryDue() const { return lost_ && now_() >= retryAt_; }

bool SourceWatch::recent() const { return !lost_ && pictureAt_ && now_() - *pictureAt_ <= kStallTimeout; }

}  // namespace avicap32
