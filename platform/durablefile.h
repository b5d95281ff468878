#pragma once
// Files that stand complete under their final name or not at all, also after
// a crash or a power cut. A new file has no name while it is written (an
// O_TMPFILE file, linked in under its name when complete) or, on a file
// system without such files, a hidden temporary name (".HINT.PID-N.partial",
// locked while it is written, renamed when complete, never replacing a
// file). The file and then its folder are flushed to the disk before the
// file counts as written.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace durablefile {

// How a new file is kept nameless: Anonymous where the file system has
// O_TMPFILE files (a hidden temporary file where it has not), or always
// Named.
enum class TempFiles { Anonymous, Named };

// A new file not yet given its name. Destroyed unpublished (cancelled,
// failed), it leaves nothing behind; a process killed while it is written
// leaves at most a hidden temporary file that removeLeftovers clears.
// Failures raise vba::RuntimeError: 61 for a full disk, 76 for a missing
// folder, 75 for any other.
class PendingFile {
 public:
  // An empty file in folder; hint (the name it is meant to get) names the
  // hidden temporary file where there is one.
  PendingFile(const std::string& folder, const std::string& hint, TempFiles temps = TempFiles::Anonymous);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Appends bytes through vba's file writer.
  void write(const std::vector<uint8_t>& bytes);
  // A path through which a writer that opens files by name (GStreamer's
  // filesink) writes this file.
  const std::string& path() const { return path_; }

  // Flushes the file, gives it the first of nameFor(1), nameFor(2), ... that
  // no file holds and that taken (when given) does not count as held, never
  // replacing a file, and flushes the folder. Returns the name given.
  std::string publish(const std::function<std::string(int n)>& nameFor,
                      const std::function<bool(const std::string& path)>& taken = nullptr);
  // Flushes the file and gives it the name path, replacing a file of that
  // name in one step (a reader sees the old file or the new, whole), and
  // flushes the folder.
  void publishOver(const std::string& path);

 private:
  std::string path_;
  std::string temp_;  // the hidden temporary name; empty for a nameless file
  int fd_ = -1;
  bool published_ = false;
};

// Removes the hidden temporary files in folder that no writer holds now:
// those of a write cut short (the program killed, the power gone).
void removeLeftovers(const std::string& folder);

// Flushes the folder holding path, so that a new or renamed entry in it
// survives a power cut as well as the file's contents do.
void syncFolderOf(const std::string& path);

}  // namespace durablefile
