#pragma once
// The record on disk of what has been sent from a frames folder to a
// destination, so that after a crash, a power cut or a restart each frame is
// sent once more at most and none is passed over. Frames go in capture order,
// so the record holds where sending stands: the last frame sent or refused
// (every frame after it waits), and since when frames are sent at all (frames
// taken before are not); videos wait by name. Each change is on the disk
// before it counts.
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace sending {

// Where a frame stands in capture order: when it was taken (seconds since
// 1970 UTC), then its "_N" suffix.
struct FrameKey {
  int64_t takenAt = 0;
  int suffix = 1;
  auto operator<=>(const FrameKey&) const = default;
};

// A file of the program's own in its state folder ("send/KEY.queue"), named
// after the text it is for.
std::string stateFile(const std::string& forText, const std::string& extension);

class SendQueue {
 public:
  // The record of folder to destination; a new one sends the frames taken
  // from now on.
  SendQueue(const std::string& folder, const std::string& destination, int64_t now);

  // Frames taken before this are not sent.
  int64_t from() const { return from_; }
  // Every frame after this one (in capture order) waits.
  FrameKey last() const { return last_; }
  // Whether a frame is sent, refused, or not to be sent.
  bool settled(const FrameKey& frame) const { return frame.takenAt < from_ || frame <= last_; }
  // The videos waiting, in the order they were made.
  const std::vector<std::string>& videos() const { return videos_; }

  // A frame sent (or refused for good: passed over all the same).
  void frameDone(const FrameKey& frame, const std::string& name);
  void videoWaits(const std::string& path);
  void videoDone(const std::string& path);

 private:
  void append(const std::string& line);
  // Rewrites the record with what still counts once it has grown.
  void compact();

  std::string path_;
  std::string folder_;
  std::string destination_;
  int64_t from_ = 0;
  FrameKey last_{};
  std::vector<std::string> videos_;
  int64_t size_ = 0;
};

}  // namespace sending
