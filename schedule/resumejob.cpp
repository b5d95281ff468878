#include "schedule/resumejob.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "platform/avicap32.h"
#include "platform/vba.h"

namespace schedule {
namespace {

constexpr const char* kApp = "Ferrowick";
constexpr const char* kJob = "Job";
constexpr const char* kJobHours = "Job/ActiveHours";
constexpr const char* kJobFrames = "Job/Frames";
constexpr const char* kDesktopEntry = "org.example.ferrowick.Ferrowick.desktop";

// The command the autostart entry runs: plain "ferrowick" when that is this
// program (an installed copy), else this program's own path, so a copy run
// from a folder of its own comes back too.
QString resumeCommand() {
  const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
  const QString onPath = QStandardPaths::findExecutable("ferrowick");
  if (self.isEmpty() || (!onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self)) {
    return "ferrowick --resume";
  }
  // Quoted as desktop entries quote arguments.
  QString quoted = self;
  for (const char c : {'\\', '"', '`', '$'}) quoted.replace(QChar(c), QString("\\") + c);
  return "\"" + quoted + "\" --resume";
}

void writeAutostartEntry() {
  const QString path = QString::fromStdString(autostartEntryPath());
  QDir().mkpath(QFileInfo(path).path());
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly)) {
    file.write(("[Desktop Entry]\n"
                "Type=Application\n"
                "Name=Ferrowick\n"
                "Comment=Resume the time-lapse run that a restart interrupted\n"
                "Exec=" +
                resumeCommand() +
                "\n"
                "Icon=org.example.ferrowick.Ferrowick\n"
                "Terminal=false\n"
                "X-GNOME-Autostart-enabled=true\n")
                   .toUtf8());
    if (file.commit()) return;
  }
  throw vba::RuntimeError(vba::vbErrPathFileAccess, "Cannot write the autostart entry " + path.toStdString() +
                                                        ": " + file.errorString().toStdString());
}

}  // namespace

bool resumeEnabled() { return vba::GetSetting(kApp, "Resume", "Enabled", "0") == "1"; }

void setResumeEnabled(bool enabled) {
  if (enabled) {
    writeAutostartEntry();
  } else {
    QFile::remove(QString::fromStdString(autostartEntryPath()));
    clearJob();
  }
  vba::SaveSetting(kApp, "Resume", "Enabled", enabled ? "1" : "0");
}

std::string autostartEntryPath() {
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return (config + "/autostart/" + kDesktopEntry).toStdString();
}

void recordJob(const Job& job) {
  vba::DeleteSetting(kApp, kJob);
  saveActiveHours(job.hours, kJobHours);
  // Last, in one write: a job is recorded once its source is, so one cut
  // short is none.
  vba::Settings values;
  for (const auto& [key, value] : vba::GetAllSettings(kApp, "Frames"))
    values.emplace_back("Frames/" + key, value);
  values.insert(values.end(), {{"Interval", job.interval},
                               {"Folder", job.folder},
                               {"SourceName", job.sourceName},
                               {"Source", job.source}});
  vba::SaveSettings(kApp, kJob, values);
}

std::optional<Job> recordedJob() {
  Job job;
  job.source = vba::GetSetting(kApp, kJob, "Source");
  if (job.source.empty()) return std::nullopt;
  job.sourceName = vba::GetSetting(kApp, kJob, "SourceName");
  job.interval = vba::GetSetting(kApp, kJob, "Interval", "20");
  job.folder = vba::GetSetting(kApp, kJob, "Folder");
  job.hours = loadActiveHours(kJobHours);
  return job;
}

void clearJob() {
  // A job cut short while being recorded may have its copies and no more.
  for (const char* section : {kJob, kJobHours, kJobFrames}) {
    if (!vba::GetAllSettings(kApp, section).empty()) {
      vba::DeleteSetting(kApp, kJob);
      return;
    }
  }
}

void restoreFrameOptions() { vba::SaveSettings(kApp, "Frames", vba::GetAllSettings(kApp, kJobFrames)); }

std::string sourceIdentity(int index) {
  const avicap32::DriverList& drivers = avicap32::driverList();
  if (index < 0 || static_cast<size_t>(index) >= drivers.size() || !drivers[static_cast<size_t>(index)])
    return {};
  return drivers[static_cast<size_t>(index)]->identity();
}

int findSource(const std::string& identity) {
  const avicap32::DriverList& drivers = avicap32::driverList();
  for (size_t i = 0; i < drivers.size(); ++i) {
    if (drivers[i] && drivers[i]->identity() == identity) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace schedule
