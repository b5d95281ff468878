#include "video/frames.h"

#include <QBuffer>
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <tuple>

#include "schedule/localtime.h"
#include "store/framename.h"

namespace video {

namespace {

uint32_t le32(const QByteArray& data, int at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(data[at + i]);
  return v;
}

// Whether a file's own structure says it is shorter than written: a BMP
// shorter than the size its header gives, a JPEG without its end marker.
// (Such files still decode, with the missing part grey or black.)
bool cutShort(const QByteArray& data) {
  if (data.startsWith("BM") && data.size() >= 6) return le32(data, 2) > static_cast<uint32_t>(data.size());
  if (data.startsWith("\xff\xd8")) return !data.right(32).contains("\xff\xd9");
  return false;
}

}  // namespace

namespace {

// A frame file of a name already read.
FrameFile frameOf(const QFileInfo& entry, const framename::Parsed& name, const std::string& timeZone) {
  FrameFile frame;
  frame.path = entry.filePath().toStdString();
  frame.modifiedMs = entry.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
  frame.suffix = name.suffix;
  // In the hour repeated when the clocks go back a name stands for two
  // instants: the one nearer the file's modification time keeps the two
  // passes through that hour apart.
  const schedule::Instants taken = schedule::instantsOf(name.taken, timeZone);
  const int64_t modified = frame.modifiedMs / 1000;
  frame.takenAt =
      std::llabs(taken.later - modified) < std::llabs(taken.earlier - modified) ? taken.later : taken.earlier;
  return frame;
}

}  // namespace

std::optional<FrameFile> frameFile(const std::string& path, const std::string& timeZone) {
  const QFileInfo entry(QString::fromStdString(path));
  const std::optional<framename::Parsed> name = framename::parse(entry.fileName().toStdString());
  if (!name || !entry.isFile()) return std::nullopt;
  return frameOf(entry, *name, timeZone);
}

FrameList listFrames(const std::string& folder, const std::string& timeZone) {
  FrameList list;
  const QFileInfoList entries = QDir(QString::fromStdString(folder)).entryInfoList(QDir::Files);
  for (const QFileInfo& entry : entries) {
    const std::optional<framename::Parsed> name = framename::parse(entry.fileName().toStdString());
    if (!name) {
      ++list.notFrames;
      continue;
    }
    list.frames.push_back(frameOf(entry, *name, timeZone));
  }
  std::sort(list.frames.begin(), list.frames.end(), [](const FrameFile& a, const FrameFile& b) {
    return std::tie(a.takenAt, a.suffix, a.modifiedMs, a.path) <
           std::tie(b.takenAt, b.suffix, b.modifiedMs, b.path);
  });
  return list;
}

std::string timeSpan(const FrameList& list) {
  if (list.frames.empty()) return "";
  const auto local = [](int64_t secs) {
    return QDateTime::fromSecsSinceEpoch(secs).toString("dd/MM/yyyy hh:mm:ss").toStdString();
  };
  return local(list.frames.front().takenAt) + " to " + local(list.frames.back().takenAt);
}

void frameSize(const FrameList& list, int& width, int& height) {
  width = height = 0;
  for (const FrameFile& frame : list.frames) {
    const QSize size = QImageReader(QString::fromStdString(frame.path)).size();
    if (size.width() >= 2 && size.height() >= 2) {
      width = size.width() & ~1;
      height = size.height() & ~1;
      return;
    }
  }
}

struct FrameReader::Scratch {
  QImage image;
};

FrameReader::FrameReader(const FrameList& list, int width, int height)
    : list_(list), width_(width), height_(height), scratch_(std::make_unique<Scratch>()) {}

FrameReader::~FrameReader() = default;

bool FrameReader::next(Picture& picture) {
  while (index_ < static_cast<int>(list_.frames.size())) {
    const FrameFile& frame = list_.frames[static_cast<size_t>(index_++)];
    QFile file(QString::fromStdString(frame.path));
    QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QBuffer bytes(&data);
    bytes.open(QIODevice::ReadOnly);
    QImageReader decoder(&bytes);
    QImage& image = scratch_->image;
    if (cutShort(data) || !decoder.read(&image)) {
      ++undecodable_;
      continue;
    }
    if (image.format() != QImage::Format_RGB32) image = image.convertToFormat(QImage::Format_RGB32);
    // Scaled to fit, centred on black: a frame of another shape keeps its own.
    const QImage fitted = image.width() == width_ && image.height() == height_
                              ? image
                              : image.scaled(width_, height_, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    picture.width = width_;
    picture.height = height_;
    picture.source = frame.path;
    picture.pixels.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_));
    if (fitted.size() != QSize(width_, height_))
      std::fill(picture.pixels.begin(), picture.pixels.end(), 0xff000000u);
    const int left = (width_ - fitted.width()) / 2;
    const int top = (height_ - fitted.height()) / 2;
    for (int y = 0; y < fitted.height(); ++y) {
      std::memcpy(&picture.pixels[static_cast<size_t>(top + y) * static_cast<size_t>(width_) +
                                  static_cast<size_t>(left)],
                  fitted.constScanLine(y), static_cast<size_t>(fitted.width()) * 4);
    }
    return true;
  }
  return false;
}

}  // namespace video
