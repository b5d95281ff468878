#pragma once
// Sends a run's frames, and the videos of its days, off the machine: to a
// folder (a NAS mount, a synced folder) or to a remote of rclone's
// configuration, each soon after it is written, in capture order, on a
// thread of its own so that nothing it does holds up the window. A file
// appears at the destination whole or not at all, under its final name; the
// newest frame goes also as latest.jpg, replaced in one step. What is sent is
// recorded on disk (send/sendqueue.h); a destination that cannot be reached
// is tried again after 2 s, 4 s, ... up to 5 minutes, and at once when it
// answers again (it is asked every 5 s); a file it refuses for good (no
// permission, too large) is reported and passed over.
#include <cstdint>
#include <memory>
#include <string>

namespace sending {

// What sending is doing, as a copy anyone may read from any thread.
struct State {
  std::string destination;   // empty: sending is off
  int64_t waiting = 0;       // frames and videos not sent yet
  int64_t videos = 0;        // of them videos
  bool busy = false;         // a file is being sent (latest.jpg among them)
  std::string lastSent;      // the file name of the last frame or video sent
  int64_t lastSentAt = 0;    // when, in seconds since 1970 UTC; 0 before the first
  std::string error;         // what went wrong, while sending fails
  int64_t errorSince = 0;    // since when it fails; 0 while it works
  bool unreachable = false;  // the destination cannot be reached (rather than failing otherwise)
  int64_t refused = 0;       // files the destination refused for good, passed over
  std::string lastRefused;   // the last of them, and why
};

// One line for people: "12 frames waiting; destination unreachable since
// 14:03, trying again (why); last sent ...", "All sent; last sent
// 05_03_2007 080409.bmp at 08:04:10".
std::string describe(const State& state);

class Sender {
 public:
  // firstRetryMs: the first wait before a failed send is tried again, each
  // next one twice as long up to 5 minutes.
  explicit Sender(int firstRetryMs = 2000);
  // Ends the thread and rclone; what waits is sent after the next start.
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Sends the frames of folder to destination (a folder, or "REMOTE:PATH";
  // nothing when empty): those its record says are waiting, then each one
  // written from now on; latest: the newest also as latest.jpg.
  void bind(const std::string& folder, const std::string& destination, bool latest);
  // A frame the frame store has written into the folder.
  void frameWritten(const std::string& path);
  // A video made (a day's), sent into "videos/" at the destination.
  void videoMade(const std::string& path);

  State state() const;
  // Whether a frame of the folder needs nothing more from sending: sent,
  // refused, taken before sending began, or sending is off. A frame of
  // another folder, or one asked about before the record is read, is not.
  bool settled(const std::string& framePath) const;

  // Waits until nothing waits and nothing is being sent, or ms have passed;
  // whether it got there.
  bool waitIdle(int ms) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace sending
