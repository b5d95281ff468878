#include "schedule/resumejob.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "platform/avicap32.h"
#include "platform/vba.h"
#include "settings/settings.h"

namespace schedule {
namespace {

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

void setResumeEnabled(bool enabled) {
  if (enabled) {
    writeAutostartEntry();
  } else {
    QFile::remove(QString::fromStdString(autostartEntryPath()));
    settings::clearJob();
  }
  settings::saveResumeEnabled(enabled);
}

std::string autostartEntryPath() {
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return (config + "/autostart/" + kDesktopEntry).toStdString();
}

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
