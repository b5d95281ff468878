#pragma once
// rclone, the helper that sends files to any storage it speaks: its remotes
// (from the user's rclone configuration, wherever rclone finds it) and one
// long-lived remote-control daemon (`rclone rcd`) on the loopback address, at
// a port of its own choosing, with a user and a random password, spoken to
// over its HTTP JSON interface. The daemon starts with the first call, starts
// again after it ends, and ends with its owner or the owning thread.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sending {

// The remote a destination names ("nas" of "nas:frames/garden"); none for a
// folder ("/mnt/nas/garden", "./frames", a name with no colon).
std::optional<std::string> remoteOf(const std::string& destination);

// The remotes of rclone's configuration, as `rclone listremotes` gives them;
// none, with why, when rclone cannot be run.
std::optional<std::vector<std::string>> listRemotes(std::string& why);

struct Reply {
  int status = 0;     // the HTTP status: 200 done; 0 no answer (rclone not running or gone)
  std::string error;  // what went wrong, in rclone's words
  // The reply's values that are strings, such as "type" of config/get.
  std::map<std::string, std::string> values;
  bool ok() const { return status == 200; }
};

using Params = std::vector<std::pair<std::string, std::string>>;

// Lives on one thread, which runs a Qt event loop; replies come on it.
class Rclone {
 public:
  Rclone();
  ~Rclone();
  Rclone(const Rclone&) = delete;
  Rclone& operator=(const Rclone&) = delete;

  // Calls a method of rclone's remote control ("operations/copyfile") with
  // parameters that are strings, but for those named with a leading "_"
  // ("_config": rclone's options for this call), which hold a JSON object;
  // several calls may be under way at once.
  void call(const std::string& method, const Params& params, std::function<void(const Reply&)> done);
  // Ends the daemon; calls under way are answered with status 0.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace sending
