#include "video/frames.h"

#include <QBuffer>
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace video {

namespace {

constexpr int64_t kDay = 24 * 60 * 60;

int64_t utcSecs(const QDateTime& t) { return t.toSecsSinceEpoch(); }

int offsetAt(const QTimeZone& zone, int64_t secs) {
  return zone.offsetFromUtc(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC));
}

// The instant a local time names in zone. In the hour repeated when daylight
// saving ends a name stands for two instants: the one nearer the file's
// modification time is taken, so the two passes through that hour stay apart.
int64_t instant(const QDate& date, const QTime& time, const QTimeZone& zone, int64_t modifiedSecs) {
  const int64_t naive = utcSecs(QDateTime(date, time, Qt::UTC));
  int64_t best = 0;
  bool found = false;
  // The zone's offsets a day either side: the name's instant has one of them.
  for (const int64_t probe : {naive - kDay, naive + kDay}) {
    const int offset = offsetAt(zone, probe);
    const int64_t candidate = naive - offset;
    if (offsetAt(zone, candidate) != offset) continue;
    if (!found || std::llabs(candidate - modifiedSecs) < std::llabs(best - modifiedSecs)) best = candidate;
    found = true;
  }
  // A time skipped when daylight saving begins: read with the offset before.
  return found ? best : naive - offsetAt(zone, naive - kDay);
}

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

FrameList listFrames(const std::string& folder, const std::string& timeZone) {
  static const QRegularExpression name(
      R"(^(\d\d)_(\d\d)_(\d{4}) (\d\d)(\d\d)(\d\d)(?:_(\d+))?\.(bmp|png|jpg|jpeg)$)",
      QRegularExpression::CaseInsensitiveOption);
  const QTimeZone zone =
      timeZone.empty() ? QTimeZone::systemTimeZone() : QTimeZone(QByteArray::fromStdString(timeZone));
  FrameList list;
  const QFileInfoList entries = QDir(QString::fromStdString(folder)).entryInfoList(QDir::Files);
  for (const QFileInfo& entry : entries) {
    const QRegularExpressionMatch m = name.match(entry.fileName());
    const QDate date =
        m.hasMatch() ? QDate(m.captured(3).toInt(), m.captured(2).toInt(), m.captured(1).toInt()) : QDate();
    const QTime time =
        m.hasMatch() ? QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt()) : QTime();
    if (!date.isValid() || !time.isValid()) {
      ++list.notFrames;
      continue;
    }
    FrameFile frame;
    frame.path = entry.filePath().toStdString();
    frame.modifiedMs = entry.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    frame.suffix = m.captured(7).isEmpty() ? 1 : m.captured(7).toInt();
    frame.takenAt = instant(date, time, zone, frame.modifiedMs / 1000);
    list.frames.push_back(std::move(frame));
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
