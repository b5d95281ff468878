#include "run/runlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QString>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/durablefile.h"
#include "platform/vba.h"

namespace run {
namespace {

Q_LOGGING_CATEGORY(lcRun, "ferrowick.run", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBox, "ferrowick.box", QtInfoMsg)

constexpr char kPrefix[] = "ferrowick.";

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
QtMessageHandler previousHandler = nullptr;
std::atomic<bool> echo{false};
std::size_t limit = kRunLogLimit;

// Keeps the newer half of the file, from its first whole line on, in a file
// that replaces the old one in one step.
void dropOlderHalf(const QString& path, qint64 size) {
  QFile old(path);
  if (!old.open(QIODevice::ReadOnly) || !old.seek(size / 2)) return;
  old.readLine();  // the rest of the line cut in two
  const QByteArray newer = old.readAll();
  old.close();
  QSaveFile trimmed(path);
  if (trimmed.open(QIODevice::WriteOnly) && trimmed.write(newer) == newer.size() && trimmed.commit())
    durablefile::syncFolderOf(path.toStdString());
}

void append(const QByteArray& line) {
  const QString path = QString::fromStdString(runLogPath());
  std::lock_guard lock(logMutex());
  QDir().mkpath(QFileInfo(path).path());
  // One write of a whole line, at the end, whoever else writes.
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat st {};
  const bool written =
      line.isEmpty() || ::write(fd, line.constData(), static_cast<size_t>(line.size())) == line.size();
  const bool sized = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (written && sized && static_cast<std::size_t>(st.st_size) > limit) dropOlderHalf(path, st.st_size);
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QLatin1String category(context.category ? context.category : "");
  if (!category.startsWith(QLatin1String(kPrefix))) {
    if (previousHandler) previousHandler(type, context, message);
    return;
  }
  if (type == QtDebugMsg) return;
  QString text = message;
  // The run's own lines need no name; another part's carry theirs.
  if (category != QLatin1String("ferrowick.run")) text = category.mid(sizeof kPrefix - 1) + ": " + text;
  text.replace('\n', ' ');
  const QByteArray line =
      (QString::fromStdString(vba::Format(vba::Now(), "yyyy-mm-dd hh:nn:ss")) + "  " + text + "\n").toUtf8();
  append(line);
  if (echo) std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

std::string hoursText(const schedule::ActiveHours& hours) {
  const auto hhmm = [](int minutes) {
    return vba::Format({2000, 1, 1, minutes / 60, minutes % 60, 0}, "hh:nn");
  };
  switch (hours.mode) {
    case schedule::ActiveHours::Mode::Between:
      return ", active hours " + hhmm(hours.from) + " to " + hhmm(hours.to);
    case schedule::ActiveHours::Mode::Daylight:
      return ", sunrise to sunset at " + vba::CStr(hours.latitude) + " " + vba::CStr(hours.longitude);
    case schedule::ActiveHours::Mode::Always:
      break;
  }
  return {};
}

std::string runText(const State& s) {
  const settings::FrameOptions& f = s.frames;
  const char* format = f.format == framestore::Format::Png    ? "PNG"
                       : f.format == framestore::Format::Jpeg ? "JPEG"
                                                              : "BMP";
  return s.sourceName + ", every " + vba::CStr(s.intervalShown) + " s, into " + s.folder + " (" +
         (f.fullSize ? "full size " : "320 × 240 ") + format + (f.timeStamp ? ", time stamp" : "") + ")" +
         hoursText(s.hours) + (s.recorded ? ", recorded for a restart" : "");
}

}  // namespace

std::string runLogPath() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty() || QDir::isRelativePath(state)) state = QDir::homePath() + "/.local/state";
  return (state + "/Ferrowick/run.log").toStdString();
}

std::string openRunLog() {
  append({});
  return runLogPath();
}

void installRunLog(std::size_t bound) {
  std::lock_guard lock(logMutex());
  limit = bound;
  const QtMessageHandler before = qInstallMessageHandler(handle);
  if (before != handle) previousHandler = before;
}

void logEvent(const Event& e, const State& s) {
  using Kind = Event::Kind;
  const auto info = [](const std::string& text) { qCInfo(lcRun).noquote() << QString::fromStdString(text); };
  const auto warn = [](const std::string& text) {
    qCWarning(lcRun).noquote() << QString::fromStdString(text);
  };
  switch (e.kind) {
    case Kind::Started:
      return info("Started: " + runText(s) + ".");
    case Kind::Resumed:
      return info("Resumed after a restart: " + runText(s) + ".");
    case Kind::Stopped:
      return info("Stopped.");
    case Kind::SessionEnd:
      return info(s.recorded ? "The session ends; the run goes on at the next login." : "The session ends.");
    case Kind::SourceTaken:
      return info("Source taken: " + s.sourceName + ".");
    case Kind::SourceReleased:
      return info("Source let go: " + s.sourceName + ".");
    case Kind::Lost:
      return warn("Source lost: " + s.sourceName +
                  (s.lostSince
                       ? " (since " + vba::Format(schedule::localTime(*s.lostSince), "hh:nn:ss") + ")."
                       : std::string(".")));
    case Kind::Back:
      return info("Source back: " + s.sourceName + ".");
    case Kind::NotAnswering:
      return warn("Source does not answer: " + s.sourceName + "; replug it.");
    case Kind::Waiting:
      return info(s.opening ? "Waiting for active hours until " +
                                  vba::Format(schedule::localTime(*s.opening), "yyyy-mm-dd hh:nn") + "."
                            : std::string("Waiting for active hours: none open within a year."));
    case Kind::HoursOpen:
      return info("Active hours open.");
    case Kind::Hourly:
      return info("Frames saved: " + std::to_string(e.saved) + " of " + std::to_string(e.due) + " due.");
    case Kind::NotSaved:
      return warn("Frame not saved: " + e.why);
    case Kind::DiskReserve:
      return warn("Disk reserve reached: " + e.why);
    case Kind::FolderGone:
      return warn("Folder gone: " + e.why);
    case Kind::FolderBack:
      return info("Folder back: frames saved again.");
  }
}

void echoRunLog() { echo = true; }

void unattendedBoxes() {
  vba::setMsgBoxHandler([](const std::string& prompt, int buttons, const std::string&) {
    qCInfo(lcBox).noquote() << QString::fromStdString(prompt);
    switch (buttons & 7) {
      case vba::vbOKCancel:
        return vba::vbCancel;
      case vba::vbYesNo:
        return vba::vbNo;
      default:
        return vba::vbOK;
    }
  });
}

}  // namespace run
