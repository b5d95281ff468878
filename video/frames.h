#pragma once
// The frames of a folder in the order they were captured, and each one read
// and fitted to the video's size, one at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace video {

// A frame file found in a folder, named as store/framename.h says.
struct FrameFile {
  std::string path;
  // When it was taken, in seconds since 1970 UTC: the name's local time, and
  // in the hour repeated when daylight saving ends (two instants per name)
  // the one nearer the file's modification time.
  int64_t takenAt = 0;
  int suffix = 1;
  int64_t modifiedMs = 0;
};

struct FrameList {
  std::vector<FrameFile> frames;  // in capture order
  int notFrames = 0;              // files whose names are not frame names
};

// The frames of folder in capture order: by the time they were taken, then
// by their suffix, then by modification time. Hidden files (frames still
// being written) and folders are passed over. timeZone is the IANA name of
// the zone the names were written in; empty for the system's.
FrameList listFrames(const std::string& folder, const std::string& timeZone = "");

// The frame file at path, or none when its name is not a frame's or it is
// not a file.
std::optional<FrameFile> frameFile(const std::string& path, const std::string& timeZone = "");

// "01/03/2024 08:00:00 to 02/04/2024 17:20:00" for the frames' first and
// last times, in the system's time zone; empty for no frames.
std::string timeSpan(const FrameList& list);

// A picture as the video takes it: 32-bit pixels, 0xffRRGGBB each in the
// machine's byte order, rows without padding.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  std::string source;  // the frame file it came from
};

// Width and height of the first frame of the list that can be read, made
// even (4:2:0 video halves both); 0 x 0 when none can.
void frameSize(const FrameList& list, int& width, int& height);

// Reads the frames of a list one at a time, each scaled to width x height
// keeping its shape, with black bars; frames that cannot be decoded (a file
// cut short, not a picture at all) are passed over and counted.
class FrameReader {
 public:
  FrameReader(const FrameList& list, int width, int height);
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The next frame that can be read, into picture (its pixels reused when
  // they are of the size); false when there is none left.
  bool next(Picture& picture);
  // Frame files handled so far, read or passed over.
  int done() const { return index_; }
  int undecodable() const { return undecodable_; }

 private:
  const FrameList& list_;
  int width_;
  int height_;
  int index_ = 0;
  int undecodable_ = 0;
  // The decoded picture, kept so the next frame of its size decodes into it.
  struct Scratch;
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace video
