#pragma once
// The web page: a small HTTP(S) server that shows the run (the live picture,
// the latest frame, the run's state, the days of frames and the videos) and
// takes Start and Stop. It runs on a thread of its own with its own main
// context, so no client can hold up the window or a frame: it reads the run
// through a copy the window publishes, and hands Start and Stop to the
// window's thread, answering when they are done.
//
// Addresses: / (the page), /latest.jpg (the newest complete frame, as JPEG),
// /stream.mjpg (the live picture, multipart JPEG, while someone watches),
// /api/status (JSON), /api/days, /api/frames?day=, /api/videos,
// /frames/NAME, /thumbs/NAME, /videos/NAME (byte ranges), and POST
// /api/start and /api/stop.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/olepro32.h"
#include "run/runcontroller.h"

namespace web {

// At most this many clients at once; more are answered 503.
inline constexpr int kMaxClients = 16;
// A connection that has not sent its request's headers this long after it
// came is closed, so clients that connect and say nothing cannot hold every
// place.
inline constexpr int kHeadersWithinSeconds = 10;
// The live picture's rate, at most.
inline constexpr int kStreamIntervalMs = 200;
// The user name of HTTP basic authentication.
inline constexpr const char* kUser = "ferrowick";

struct Options {
  std::string address = "127.0.0.1";  // where to listen: loopback unless told otherwise
  int port = 8080;                    // 0: any free port
  std::string passwordHash;           // password::hash; empty: none asked
  std::string certFile, keyFile;      // PEM: HTTPS when given
};

// Whether an address is one of this computer's loopback addresses.
bool isLoopback(const std::string& address);

// What sending frames elsewhere is doing, for whoever sends them to fill in.
struct Sending {
  int64_t waiting = 0;    // frames not sent yet
  std::string lastSent;   // the newest file sent
  std::string lastError;  // empty while all is well
  std::optional<run::Instant> errorSince;
};
// What making a video of each day is doing.
struct DailyVideo {
  std::string state;      // in words: "made 08_12_2026.mp4", "making 08_12_2026"
  std::string lastError;  // empty while all is well
};

class Server {
 public:
  Server();
  // Stops serving first.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves with these options (stopping a server that runs first); empty, or
  // why it cannot (the port taken, a certificate that cannot be read, ...).
  std::string start(const Options& options);
  void stop();
  bool serving() const;
  // The port listened on (the one found for port 0); 0 when not serving.
  int port() const;
  // The address to open in a browser: "http://127.0.0.1:8080/".
  std::string url() const;

  // The run as the window sees it now, published after each tick and change;
  // folder: where its frames go (a stopped run's next folder).
  void publish(const run::State& state, const std::string& folder);
  // Filled in by whoever sends frames or makes the daily videos; nothing is
  // shown for them while they are none.
  void publishSending(const std::optional<Sending>& sending);
  void publishDailyVideo(const std::optional<DailyVideo>& video);

  // The live picture: offered by the window's thread while someone watches
  // (onWatching), at most every kStreamIntervalMs; copied before this returns
  // and encoded away from the caller's thread.
  void offerPreview(const olepro32::StdPicture& picture);

  // Called on the window's thread (the thread that made the server): Start
  // and Stop from the page, and whether someone watches the live picture.
  std::function<void()> onStart;
  std::function<void()> onStop;
  std::function<void(bool watching)> onWatching;

 private:
  struct Impl;
  std::shared_ptr<Impl> d_;
};

}  // namespace web
