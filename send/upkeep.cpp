#include "send/upkeep.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/vba.h"
#include "schedule/localtime.h"
#include "send/sendqueue.h"
#include "settings/settings.h"
#include "store/framename.h"
#include "video/frames.h"
#include "video/makevideo.h"

namespace sending {
namespace {

Q_LOGGING_CATEGORY(lcUpkeep, "ferrowick.upkeep", QtInfoMsg)

constexpr int kLowestPriority = 19;
constexpr int64_t kDay = 24 * 3600;

// A day as a number that sorts: 20070305.
int dayNumber(const vba::DateTime& t) { return t.year * 10000 + t.month * 100 + t.day; }
// And as frames name it: "05_03_2007".
std::string dayName(int day) {
  return vba::Format({day / 10000, day / 100 % 100, day % 100, 0, 0, 0}, "dd_MM_yyyy");
}

struct Bound {
  std::string folder;
  bool dailyVideo = false;
  int keepDays = 0;
};

}  // namespace

struct Upkeep::Impl {
  std::function<void(const std::string&)> made;
  std::function<bool(const std::string&)> settled;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idleChanged;
  Bound bound;
  std::optional<std::pair<int64_t, bool>> asked;  // a look asked for: now, dayOver
  bool busy = false;
  bool ending = false;
  std::atomic<bool> cancel{false};
  // The chores' thread's own.
  int closedDay = 0;             // the day whose active hours are over
  std::set<std::string> failed;  // videos that could not be made, not tried again this run
  std::thread thread;

  void work() {
    // Threads started from here (GStreamer's) take this priority too.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kLowestPriority);
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return ending || asked; });
      if (ending) return;
      const auto [now, dayOver] = *std::exchange(asked, std::nullopt);
      const Bound b = bound;
      busy = true;
      lock.unlock();
      look(b, now, dayOver);
      lock.lock();
      busy = false;
      idleChanged.notify_all();
    }
  }

  void look(const Bound& b, int64_t now, bool dayOver) {
    if (b.folder.empty()) return;
    const int today = dayNumber(schedule::localTime(now));
    if (dayOver) closedDay = today;
    // The first day videos were asked for in this folder; none while they are not.
    const std::string sinceFile = stateFile(b.folder, "days");
    std::optional<int> since;
    if (b.dailyVideo) {
      QFile f(QString::fromStdString(sinceFile));
      if (f.open(QIODevice::ReadOnly)) since = f.readAll().trimmed().toInt();
      if (!since || *since == 0) {
        since = today;
        f.close();
        if (f.open(QIODevice::WriteOnly)) f.write(QByteArray::number(today));
      }
    } else {
      QFile::remove(QString::fromStdString(sinceFile));
    }
    const QString videos = QString::fromStdString(videosFolder(b.folder));
    const auto videoMade = [&](int day) {
      const QString name = videos + "/" + QString::fromStdString(dayName(day));
      return QFileInfo::exists(name + ".mp4") || QFileInfo::exists(name + ".webm");
    };
    std::set<int> days;
    for (const QString& name : QDir(QString::fromStdString(b.folder)).entryList(QDir::Files)) {
      if (const std::optional<framename::Parsed> p = framename::parse(name.toStdString()))
        days.insert(dayNumber(p->taken));
    }
    const auto due = [&](int day) { return since && day >= *since && !videoMade(day); };
    for (int day : days) {
      if (cancel) return;
      if (due(day) && (day < today || day == closedDay)) makeVideo(b.folder, day);
    }
    if (b.keepDays > 0) prune(b, now, due);
  }

  void makeVideo(const std::string& folder, int day) {
    const settings::VideoChoices choices = settings::videoChoices();
    video::Settings s;
    s.folder = folder;
    s.day = dayName(day);
    s.fps = choices.fps;
    s.format = choices.format == "webm" ? video::Format::webm : video::Format::mp4;
    s.deflicker = choices.deflicker;
    s.lowPriority = true;
    const QRegularExpressionMatch size =
        QRegularExpression(R"(^(\d+)x(\d+)$)").match(QString::fromStdString(choices.size));
    if (size.hasMatch()) {
      s.width = size.captured(1).toInt();
      s.height = size.captured(2).toInt();
    }
    const std::string videos = videosFolder(folder);
    s.output = videos + "/" + s.day + "." + video::extension(s.format);
    if (failed.count(s.output)) return;
    QDir().mkpath(QString::fromStdString(videos));
    const video::Result result = video::makeVideo(s, nullptr, cancel);
    if (result.cancelled) return;
    if (!result.complete) {
      failed.insert(s.output);
      qCWarning(lcUpkeep).noquote() << "Video of the day " << QString::fromStdString(s.day)
                                    << " not made: " << QString::fromStdString(result.message);
      return;
    }
    qCInfo(lcUpkeep).noquote() << QString::fromStdString(result.message);
    made(result.file);
  }

  void prune(const Bound& b, int64_t now, const std::function<bool(int)>& videoDue) {
    const int64_t cutoff = now - b.keepDays * kDay;
    int deleted = 0;
    for (const video::FrameFile& f : video::listFrames(b.folder).frames) {
      if (cancel || f.takenAt >= cutoff) break;
      if (videoDue(dayNumber(schedule::localTime(f.takenAt))) || !settled(f.path)) continue;
      if (QFile::remove(QString::fromStdString(f.path))) ++deleted;
    }
    if (deleted > 0) {
      qCInfo(lcUpkeep).noquote() << "Deleted " << deleted << " frames older than " << b.keepDays
                                 << " days from " << QString::fromStdString(b.folder) << ".";
    }
  }
};

Upkeep::Upkeep(std::function<void(const std::string&)> made, std::function<bool(const std::string&)> settled)
    : d_(std::make_unique<Impl>()) {
  d_->made = std::move(made);
  d_->settled = std::move(settled);
  d_->thread = std::thread([impl = d_.get()] { impl->work(); });
}

Upkeep::~Upkeep() {
  {
    std::lock_guard lock(d_->mutex);
    d_->ending = true;
  }
  d_->cancel = true;
  d_->wake.notify_all();
  d_->thread.join();
}

void Upkeep::bind(const std::string& folder, bool dailyVideo, int keepDays) {
  std::lock_guard lock(d_->mutex);
  d_->bound = {folder, dailyVideo, keepDays};
}

void Upkeep::check(int64_t now, bool dayOver) {
  {
    std::lock_guard lock(d_->mutex);
    // A look asked for while one waits is merged into it.
    d_->asked = {now, dayOver || (d_->asked && d_->asked->second)};
  }
  d_->wake.notify_all();
}

std::string Upkeep::videosFolder(const std::string& framesFolder) {
  const QFileInfo frames(QDir::cleanPath(QString::fromStdString(framesFolder)));
  return frames.dir().filePath("videos").toStdString();
}

bool Upkeep::waitIdle(int ms) const {
  std::unique_lock lock(d_->mutex);
  return d_->idleChanged.wait_for(lock, std::chrono::milliseconds(ms),
                                  [this] { return !d_->busy && !d_->asked; });
}

}  // namespace sending
