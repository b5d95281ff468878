#include "store/framestore.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <QBuffer>
#include <QByteArray>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/framefolder.h"
#include "platform/gdi32.h"

namespace framestore {
namespace {

constexpr int kJpegQuality = 92;
// Frames waiting for a disk that does not keep up are dropped beyond this
// many, so a hung disk never eats the memory.
constexpr size_t kMaxWaiting = 8;

[[noreturn]] void raise(int number, const std::string& what) { throw vba::RuntimeError(number, what); }

// ---- Pictures

// The frame's date and time in its bottom-left corner: light text on a dark
// box, sized to the frame, so it reads on any picture.
void drawTimeStamp(QImage& image, const vba::DateTime& taken) {
  if (image.format() != QImage::Format_RGB32) image = image.convertToFormat(QImage::Format_RGB32);
  const QString text = QString::fromStdString(vba::Format(taken, "yyyy-MM-dd hh:nn:ss"));
  QFont font;
  font.setStyleHint(QFont::Monospace);
  font.setBold(true);
  int pixels = std::max(8, image.height() / 20);
  font.setPixelSize(pixels);
  // A frame narrower than it is high still takes the whole text.
  while (pixels > 6 && QFontMetrics(font).horizontalAdvance(text) + pixels * 2 > image.width()) {
    font.setPixelSize(--pixels);
  }
  const QFontMetrics metrics(font);
  const int pad = std::max(2, pixels / 4);
  const QRect box(pad, image.height() - pad - metrics.height() - 2 * pad,
                  metrics.horizontalAdvance(text) + 2 * pad, metrics.height() + 2 * pad);
  QPainter painter(&image);
  painter.fillRect(box, QColor(0, 0, 0, 190));
  painter.setPen(Qt::white);
  painter.setFont(font);
  painter.drawText(box, Qt::AlignCenter, text);
}

std::vector<uint8_t> encodeWithQt(const QImage& image, const char* format, int quality) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  writer.setQuality(quality);
  if (!writer.write(image)) raise(vba::vbErrInvalidPicture, "Invalid picture");
  return std::vector<uint8_t>(bytes.cbegin(), bytes.cend());
}

struct Job {
  int run = 0;
  std::string folder;
  QImage picture;  // a grabbed picture, or
  std::shared_ptr<const avicap32::StillFrame> source;
  vba::DateTime taken;
  std::string baseName;
  Options options;
};

QImage pictureOf(const Job& job) {
  if (!job.source) return job.picture;
  if (const std::shared_ptr<const avicap32::VideoFrame> frame = job.source->bgrx()) {
    if (frame->width > 0 && frame->height > 0 &&
        frame->bytes() >= size_t(frame->width) * size_t(frame->height) * 4) {
      return QImage(frame->pixels(), frame->width, frame->height, frame->width * 4, QImage::Format_RGB32)
          .copy();
    }
  }
  const std::vector<uint8_t> jpeg = withHuffmanTables(job.source->jpeg());
  return QImage::fromData(jpeg.data(), static_cast<int>(jpeg.size()), "JPEG");
}

std::vector<uint8_t> encode(const Job& job) {
  // A camera's own JPEG, unless a time stamp is to be drawn on it: no
  // decoding, no second loss of quality.
  if (job.source && job.options.format == Format::Jpeg && !job.options.timeStamp) {
    std::vector<uint8_t> jpeg = job.source->jpeg();
    if (!jpeg.empty()) return withHuffmanTables(jpeg);
  }
  QImage picture = pictureOf(job);
  if (picture.isNull()) raise(vba::vbErrInvalidPicture, "Invalid picture");
  if (job.options.timeStamp) drawTimeStamp(picture, job.taken);
  switch (job.options.format) {
    case Format::Png:
      return encodeWithQt(picture, "PNG", -1);
    case Format::Jpeg:
      return encodeWithQt(picture, "JPEG", kJpegQuality);
    case Format::Bmp:
      break;
  }
  std::vector<uint8_t> bmp = gdi32::encodeBmp(picture);
  if (bmp.empty()) raise(vba::vbErrInvalidPicture, "Invalid picture");
  return bmp;
}

// ---- Status texts

// The space left on the folder's disk, in megabytes, for the status line.
std::string spaceLeft(const std::string& folder) {
  try {
    const double megabytes = static_cast<double>(vba::diskSpace(folder).available) / (1024.0 * 1024.0);
    return vba::CStr(std::round(megabytes * 10) / 10) + " MB left";
  } catch (const vba::RuntimeError&) {
    return "no space left";
  }
}

// A frame not written: what went wrong, in a few words for the status line,
// and its kind.
struct Problem {
  std::string text;
  FrameStore::Failure kind = FrameStore::Failure::NotSaved;
};

Problem failureOf(const vba::RuntimeError& e, const std::string& folder) {
  switch (e.Number()) {
    case vba::vbErrDiskFull:
      // Short, so it fits the status line: the Start box said where frames go.
      return {"Disk almost full (" + spaceLeft(folder) + "), frame not saved.",
              FrameStore::Failure::DiskReserve};
    case vba::vbErrPathNotFound:
      return {"Cannot reach folder " + folder};
    default:
      return {"Cannot save frame in " + folder + " (" + e.what() + ")"};
  }
}

Problem folderGone(const std::string& path) {
  return {"Folder " + path + " is gone; waiting for it to return.", FrameStore::Failure::FolderGone};
}

// A folder the run has found stays the folder of the run: it is the same one
// while its file system is (same device, or the same file system id after a
// remount under another device number).
struct FolderIdentity {
  dev_t device = 0;
  fsid_t fsid{};
  bool sameAs(const struct stat& st, const struct statfs& fs) const {
    if (st.st_dev == device) return true;
    static const fsid_t none{};
    const bool known = std::memcmp(&fsid, &none, sizeof fsid) != 0;
    return known && std::memcmp(&fs.f_fsid, &fsid, sizeof fsid) == 0;
  }
};

}  // namespace

const char* extension(Format format) {
  switch (format) {
    case Format::Png:
      return ".png";
    case Format::Jpeg:
      return ".jpg";
    case Format::Bmp:
      break;
  }
  return ".bmp";
}

uint64_t diskReserve(uint64_t fileSystemSize) {
  constexpr uint64_t kMaxReserve = 64ull * 1024 * 1024;
  return std::min(kMaxReserve, fileSystemSize / 20);
}

namespace {

constexpr std::array<Format, 3> kFormats = {Format::Bmp, Format::Png, Format::Jpeg};

// Writes a frame's bytes under the first of baseName, baseName_2, ... that no
// frame of any format holds yet; nothing when the file would eat into the
// disk reserve.
void writeFrame(const std::vector<uint8_t>& bytes, const std::string& folder, const std::string& baseName,
                Format format, durablefile::TempFiles temps) {
  const vba::DiskSpace space = vba::diskSpace(folder);
  if (space.available < bytes.size() + diskReserve(space.size)) raise(vba::vbErrDiskFull, "Disk full");
  const std::string ext = extension(format);
  durablefile::PendingFile file(folder, baseName + ext, temps);
  file.write(bytes);
  file.publish([&](int n) { return folder + "/" + framename::suffixed(baseName, n) + ext; },
               [&](const std::string& path) {
                 const std::string stem = path.substr(0, path.size() - ext.size());
                 struct stat st {};
                 return std::any_of(kFormats.begin(), kFormats.end(), [&](Format f) {
                   return ::lstat((stem + extension(f)).c_str(), &st) == 0;
                 });
               });
}

}  // namespace

// ---- The store

struct FrameStore::Impl {
  explicit Impl(durablefile::TempFiles t) : temps(t) {}

  durablefile::TempFiles temps;
  std::mutex mutex;
  std::condition_variable wake;  // a job came, or the store ends
  std::condition_variable idle;  // the queue ran empty
  std::deque<Job> queue;
  bool busy = false;
  bool ending = false;
  Outcome outcome;
  // The window's side: the run and its folder.
  int run = 0;
  std::string folder;
  // The worker's side: the run it writes for, and the folder found in it.
  int workerRun = 0;
  std::optional<FolderIdentity> found;
  std::thread worker;

  // Queues a grabbed picture or a full-size still.
  bool enqueue(QImage picture, std::shared_ptr<const avicap32::StillFrame> source, const vba::DateTime& taken,
               const std::string& baseName, Options options) {
    {
      std::lock_guard lock(mutex);
      if (run == 0 || queue.size() >= kMaxWaiting) return false;
      queue.push_back({run, folder, std::move(picture), std::move(source), taken, baseName, options});
    }
    wake.notify_one();
    return true;
  }

  void work() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return ending || !queue.empty(); });
      if (queue.empty()) return;  // ending, with nothing left to write
      Job job = std::move(queue.front());
      queue.pop_front();
      busy = true;
      lock.unlock();
      Problem problem = write(job);
      lock.lock();
      busy = false;
      if (problem.text.empty()) ++outcome.written;
      outcome.status = std::move(problem.text);
      outcome.failure = outcome.status.empty() ? Failure::None : problem.kind;
      if (queue.empty()) idle.notify_all();
    }
  }

  // Writes one frame; no text, or what went wrong.
  Problem write(const Job& job) {
    try {
      if (job.run != workerRun) {
        workerRun = job.run;
        found.reset();
      }
      if (Problem problem = checkFolder(job.folder); !problem.text.empty()) return problem;
      writeFrame(encode(job), job.folder, job.baseName, job.options.format, temps);
      return {};
    } catch (const vba::RuntimeError& e) {
      return failureOf(e, job.folder);
    } catch (const std::exception& e) {
      return {"Cannot save frame in " + job.folder + " (" + e.what() + ")"};
    }
  }

  // Finds the run's folder, or makes it when the run has not found it yet;
  // no text, or why the frame cannot go there now.
  Problem checkFolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      if (found) return folderGone(path);
      framefolder::makeParentFolders(path);
      try {
        vba::MkDir(path);
      } catch (const vba::RuntimeError&) {
        // Another copy of the program may have made it a moment ago.
        if (::stat(path.c_str(), &st) != 0) throw;
      }
      if (::stat(path.c_str(), &st) != 0) raise(vba::vbErrPathNotFound, "Path not found");
    }
    if (!S_ISDIR(st.st_mode)) {
      return {"A file named " + path.substr(path.find_last_of('/') + 1) + " blocks " + path};
    }
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) fs = {};
    if (found && !found->sameAs(st, fs)) return folderGone(path);
    if (!found) {
      found = FolderIdentity{st.st_dev, fs.f_fsid};
      // Leftovers come from a run that was cut short, so one look per folder
      // and run finds them all; a folder of a week's frames is not read every
      // second.
      durablefile::removeLeftovers(path);
    }
    return {};
  }
};

FrameStore::FrameStore(durablefile::TempFiles temps) : d_(std::make_unique<Impl>(temps)) {
  d_->worker = std::thread([impl = d_.get()] { impl->work(); });
}

FrameStore::~FrameStore() {
  {
    std::lock_guard lock(d_->mutex);
    d_->ending = true;
  }
  d_->wake.notify_all();
  d_->worker.join();
}

void FrameStore::start(const std::string& folder) {
  std::lock_guard lock(d_->mutex);
  ++d_->run;
  d_->folder = folder;
}

std::string FrameStore::folder() const {
  std::lock_guard lock(d_->mutex);
  return d_->folder;
}

bool FrameStore::save(const olepro32::StdPicture& picture, const vba::DateTime& taken,
                      const std::string& baseName, Options options) {
  if (!picture) return false;
  // A copy of its own: the worker never touches the platform's bitmaps.
  QImage copy = gdi32::fileImage(picture.Handle(), picture.hPal()).copy();
  return !copy.isNull() && d_->enqueue(std::move(copy), nullptr, taken, baseName, options);
}

bool FrameStore::save(std::shared_ptr<const avicap32::StillFrame> source, const vba::DateTime& taken,
                      const std::string& baseName, Options options) {
  return source && d_->enqueue({}, std::move(source), taken, baseName, options);
}

FrameStore::Outcome FrameStore::takeOutcome() {
  std::lock_guard lock(d_->mutex);
  return std::exchange(d_->outcome, Outcome{});
}

void FrameStore::waitIdle() {
  std::unique_lock lock(d_->mutex);
  d_->idle.wait(lock, [this] { return d_->queue.empty() && !d_->busy; });
}

// ---- JPEG

namespace {

// The tables of the JPEG standard's annex K.3 (luminance and chrominance, DC
// and AC), each as its class and id, 16 code-length counts and the values.
// clang-format off
constexpr uint8_t kStandardTables[] = {
    // DC luminance
    0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0,
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC luminance
    0x10, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
    // DC chrominance
    0x01, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC chrominance
    0x11, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
};
// clang-format on

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kSos = 0xDA;

}  // namespace

std::vector<uint8_t> withHuffmanTables(const std::vector<uint8_t>& jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != kMarker || jpeg[1] != kSoi) return jpeg;
  // The segments before the scan: each a marker and a 16-bit length that
  // counts itself; fill bytes (0xFF) may come between them.
  size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] != kMarker) return jpeg;  // not a segment: leave it be
    const uint8_t marker = jpeg[at + 1];
    if (marker == kMarker) {
      ++at;
      continue;
    }
    if (marker == kDht) return jpeg;
    if (marker == kSos) break;
    at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
  }
  if (at + 4 > jpeg.size()) return jpeg;
  // One table segment just before the scan that needs it.
  const size_t length = 2 + sizeof kStandardTables;
  std::vector<uint8_t> out;
  out.reserve(jpeg.size() + 2 + length);
  out.insert(out.end(), jpeg.begin(), jpeg.begin() + static_cast<ptrdiff_t>(at));
  out.insert(out.end(), {kMarker, kDht, uint8_t(length >> 8), uint8_t(length & 0xFF)});
  out.insert(out.end(), std::begin(kStandardTables), std::end(kStandardTables));
  out.insert(out.end(), jpeg.begin() + static_cast<ptrdiff_t>(at), jpeg.end());
  return out;
}

}  // namespace framestore
