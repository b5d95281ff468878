#pragma once
// The frame store: where and how frames are written. The folder is fixed when
// a run starts. Each frame is encoded and written durably (a file that has no
// name until it is complete and flushed, the first free name, the disk
// reserve, leftovers of a cut-short run cleared) on a worker thread, one
// frame at a time and in order, so the window's thread never waits for the
// disk; what went wrong is read back on the next tick.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capturedriver.h"
#include "platform/durablefile.h"
#include "platform/olepro32.h"
#include "platform/vba.h"
#include "store/framename.h"

namespace framestore {

enum class Format { Bmp, Png, Jpeg };

// The file name extension of a format, with its point: ".bmp", ".png", ".jpg".
const char* extension(Format format);

struct Options {
  Format format = Format::Bmp;
  // The date and time the frame was taken, drawn in its bottom-left corner.
  bool timeStamp = false;
};

class FrameStore {
 public:
  // temps: how a frame file is kept nameless until it is complete.
  explicit FrameStore(durablefile::TempFiles temps = durablefile::TempFiles::Anonymous);
  // Writes the frames still queued, then ends the worker.
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // Fixes the folder of a new run. A folder found or made during the run
  // that later goes away (a disk unmounted) is reported and looked for again
  // on every frame, never made anew nor replaced by another.
  void start(const std::string& folder);
  // The folder of the run; empty before the first start.
  std::string folder() const;

  // Queues a frame named baseName (framename::baseName) plus the format's
  // extension, or the first of its suffixed names that no frame of any
  // of the three formats holds yet, never replacing a file, taken at
  // taken. A grabbed picture's pixels are copied before this returns; a
  // full-size still is converted (or its JPEG taken as it is) on the worker.
  // False when nothing was queued (no run started, no picture, too many
  // frames waiting).
  bool save(const olepro32::StdPicture& picture, const vba::DateTime& taken, const std::string& baseName,
            Options options);
  bool save(std::shared_ptr<const avicap32::StillFrame> still, const vba::DateTime& taken,
            const std::string& baseName, Options options);

  // Why a frame was not written: the disk's reserve reached, the run's folder
  // gone (unmounted, removed), or anything else.
  enum class Failure { None, NotSaved, DiskReserve, FolderGone };
  // The outcome of the frames finished since the last call: how many were
  // written, and why the last one failed (in a few words for the status
  // line, and its kind), or nothing when it did not.
  struct Outcome {
    int written = 0;
    std::string status;
    Failure failure = Failure::None;
  };
  Outcome takeOutcome();
  // Waits until every queued frame is written or has failed.
  void waitIdle();

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// The room a save always leaves free on a file system of the given size, so a
// long run never fills a disk to the brim: 5 % of it, at most 64 MB. A frame
// that would eat into it is not written (error 61).
uint64_t diskReserve(uint64_t fileSystemSize);

// A JPEG file made of a camera's JPEG frame: the standard Huffman tables are
// put in when the frame has none (motion JPEG may leave them out), as most
// viewers need them; the frame is returned as it is otherwise, and when it is
// not JPEG at all.
std::vector<uint8_t> withHuffmanTables(const std::vector<uint8_t>& jpeg);

}  // namespace framestore
