#include "send/sendqueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/durablefile.h"
#include "run/runlog.h"

namespace sending {
namespace {

// Past this size the record is written anew with only what still counts.
constexpr int64_t kCompactAt = 64 * 1024;

std::string keyText(const FrameKey& k) { return std::to_string(k.takenAt) + "\t" + std::to_string(k.suffix); }

}  // namespace

std::string stateFile(const std::string& forText, const std::string& extension) {
  const QString folder = QString::fromStdString(run::stateFolder()) + "/send";
  QDir().mkpath(folder);
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(forText), QCryptographicHash::Sha1);
  return (folder + "/" + QString::fromLatin1(hash.toHex().left(16)) + "." + QString::fromStdString(extension))
      .toStdString();
}

SendQueue::SendQueue(const std::string& folder, const std::string& destination, int64_t now)
    : path_(stateFile(folder + "\n" + destination, "queue")), folder_(folder), destination_(destination) {
  QFile file(QString::fromStdString(path_));
  if (!file.open(QIODevice::ReadOnly)) {
    from_ = now;
    compact();
    return;
  }
  const QByteArray text = file.readAll();
  size_ = text.size();
  // A line cut short by a crash (no end of line yet) does not count.
  for (const QByteArray& line : text.left(text.lastIndexOf('\n') + 1).split('\n')) {
    const QStringList f = QString::fromUtf8(line).split('\t');
    if (f[0] == "from" && f.size() == 2) {
      from_ = f[1].toLongLong();
    } else if ((f[0] == "sent" || f[0] == "last") && f.size() >= 3) {
      last_ = std::max(last_, FrameKey{f[1].toLongLong(), f[2].toInt()});
    } else if (f[0] == "video" && f.size() == 2) {
      videos_.push_back(f[1].toStdString());
    } else if (f[0] == "videosent" && f.size() == 2) {
      std::erase(videos_, f[1].toStdString());
    }
  }
}

void SendQueue::frameDone(const FrameKey& frame, const std::string& name) {
  append("sent\t" + keyText(frame) + "\t" + name);
  last_ = std::max(last_, frame);
}

void SendQueue::videoWaits(const std::string& path) {
  if (std::find(videos_.begin(), videos_.end(), path) != videos_.end()) return;
  append("video\t" + path);
  videos_.push_back(path);
}

void SendQueue::videoDone(const std::string& path) {
  append("videosent\t" + path);
  std::erase(videos_, path);
}

void SendQueue::append(const std::string& line) {
  if (size_ > kCompactAt) compact();
  const std::string text = line + "\n";
  // One write of a whole line, on the disk before it counts.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const bool done = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::fdatasync(fd) == 0;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!done) throw std::runtime_error("cannot record what was sent in " + path_ + ": " + std::strerror(err));
  size_ += static_cast<int64_t>(text.size());
}

void SendQueue::compact() {
  std::string text = "folder\t" + folder_ + "\ndestination\t" + destination_ + "\nfrom\t" +
                     std::to_string(from_) + "\nlast\t" + keyText(last_) + "\n";
  for (const std::string& v : videos_) text += "video\t" + v + "\n";
  const std::string folder = path_.substr(0, path_.find_last_of('/'));
  try {
    durablefile::PendingFile file(folder, path_.substr(folder.size() + 1));
    file.write(std::vector<uint8_t>(text.begin(), text.end()));
    file.publishOver(path_);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot record what was sent in " + path_ + ": " + e.what());
  }
  size_ = static_cast<int64_t>(text.size());
}

}  // namespace sending
