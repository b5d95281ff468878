#include "platform/vba.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QString>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/durablefile.h"

namespace vba {
namespace {

// The seams, each with a real default.
std::string& appPathSeam() {
  static std::string folder;
  return folder;
}
FileWriter& fileWriterSeam() {
  static FileWriter writer;
  return writer;
}
std::function<DateTime()>& clockSeam() {
  static std::function<DateTime()> clock;
  return clock;
}
MsgBoxHandler& msgBoxSeam() {
  static MsgBoxHandler handler;
  return handler;
}

// The runtime's own wording for its error numbers.
const char* describe(int number) {
  switch (number) {
    case vbErrInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case vbErrOverflow:
      return "Overflow";
    case vbErrTypeMismatch:
      return "Type mismatch";
    case vbErrDiskFull:
      return "Disk full";
    case vbErrPathFileAccess:
      return "Path/File access error";
    case vbErrPathNotFound:
      return "Path not found";
    case vbErrInvalidPicture:
      return "Invalid picture";
    default:
      return "Application-defined or object-defined error";
  }
}

[[noreturn]] void raise(int number) { throw RuntimeError(number, describe(number)); }

// Rounds to the nearest whole number, halves to the even neighbour, whatever
// the floating-point environment's rounding mode.
double roundHalfEven(double v) {
  const double lower = std::floor(v);
  const double diff = v - lower;
  if (diff > 0.5) return lower + 1;
  if (diff < 0.5) return lower;
  return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

}  // namespace

RuntimeError::RuntimeError(int number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

// ---- Conversions ----

// Stands in for CDbl.
double CDbl(const std::string& text) {
  const QString trimmed = QString::fromStdString(Trim(text));
  if (trimmed.isEmpty()) raise(vbErrTypeMismatch);
  bool ok = false;
  const double value = QLocale().toDouble(trimmed, &ok);
  if (!ok) raise(std::isinf(value) ? vbErrOverflow : vbErrTypeMismatch);
  // "inf" and "nan" are not numbers to the runtime.
  if (!std::isfinite(value)) raise(vbErrTypeMismatch);
  return value;
}

// Stands in for CInt of a text.
int16_t CInt(const std::string& text) { return CInt(CDbl(text)); }

int16_t CInt(double value) {
  if (std::isnan(value)) raise(vbErrOverflow);
  const double rounded = roundHalfEven(value);
  if (rounded < -32768.0 || rounded > 32767.0) raise(vbErrOverflow);
  return static_cast<int16_t>(rounded);
}

// Stands in for CStr of a Double.
std::string CStr(double value) {
  if (value == 0) return "0";  // also -0
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
  // The general form with 15 significant digits: no trailing zeros, a plain
  // form for exponents -5..14 and "1.5E+20" beyond. std::to_chars ignores the
  // C library's locale, so '.' is always the point written here and the only
  // separator the user sees is the one Qt reports for the user's locale.
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  if (ec != std::errc()) raise(vbErrOverflow);
  QString text = QString::fromLatin1(buf, end - buf);
  const qsizetype e = text.indexOf(QLatin1Char('e'));
  if (e >= 0) text[e] = QLatin1Char('E');
  text.replace(QLatin1Char('.'), QLocale().decimalPoint());
  return text.toStdString();
}

// Stands in for CStr of a Long.
std::string CStr(int32_t value) { return std::to_string(value); }

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// ---- The application folder ----

// Stands in for App.Path.
std::string AppPath() {
  std::string folder = appPathSeam();
  if (folder.empty()) folder = QCoreApplication::applicationDirPath().toStdString();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

void setAppPath(const std::string& folder) { appPathSeam() = folder; }

// ---- Files and folders ----

// Stands in for Dir.
std::string Dir(const std::string& pathName, int attributes) {
  struct stat st {};
  if (pathName.empty() || ::stat(pathName.c_str(), &st) != 0) return {};
  if (S_ISDIR(st.st_mode) && !(attributes & vbDirectory)) return {};
  const size_t slash = pathName.find_last_of('/');
  return slash == std::string::npos ? pathName : pathName.substr(slash + 1);
}

// Stands in for MkDir.
void MkDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) {
    durablefile::syncFolderOf(path);
    return;
  }
  const int err = errno;
  if (err == EEXIST) raise(vbErrPathFileAccess);
  if (err == ENOENT || err == ENOTDIR) raise(vbErrPathNotFound);
  raise(vbErrPathFileAccess);
}

void setFileWriter(FileWriter writer) { fileWriterSeam() = std::move(writer); }

int fileWriteAll(int fd, const uint8_t* data, size_t size) {
  const FileWriter& writer = fileWriterSeam();
  while (size > 0) {
    const ssize_t n = writer ? writer(fd, data, size) : ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: never loop forever
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// ---- Date and time ----

// Stands in for Now.
DateTime Now() {
  if (clockSeam()) return clockSeam()();
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return DateTime{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
}

// Stands in for Date.
DateTime Date() {
  DateTime d = Now();
  d.hour = d.minute = d.second = 0;
  return d;
}

// Stands in for Time.
DateTime Time() {
  const DateTime now = Now();
  DateTime t;
  t.hour = now.hour;
  t.minute = now.minute;
  t.second = now.second;
  return t;
}

void setClock(std::function<DateTime()> clock) { clockSeam() = std::move(clock); }

// Stands in for Format with a date pattern.
std::string Format(const DateTime& value, const std::string& pattern) {
  std::string out;
  auto number = [&out](int v, int width) {
    std::string digits = std::to_string(v);
    if (digits.size() < static_cast<size_t>(width)) digits.insert(0, width - digits.size(), '0');
    out += digits;
  };
  bool afterHour = false;  // "m" means minutes right after an hour token
  for (size_t i = 0; i < pattern.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i])));
    size_t run = 1;
    while (i + run < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[i + run])) == c) ++run;
    // The longest token the run starts with; the rest of the run is read next.
    size_t take = std::min<size_t>(run, 2);
    switch (c) {
      case 'd':
        number(value.day, static_cast<int>(take));
        afterHour = false;
        break;
      case 'm':
        if (afterHour) {
          number(value.minute, static_cast<int>(take));
        } else {
          number(value.month, static_cast<int>(take));
        }
        afterHour = false;
        break;
      case 'y':
        if (run >= 4) {
          take = 4;
          number(value.year, 4);
        } else if (run >= 2) {
          number(value.year % 100, 2);
        } else {
          out += pattern[i];
        }
        afterHour = false;
        break;
      case 'h':
        number(value.hour, static_cast<int>(take));
        afterHour = true;
        break;
      case 'n':
        number(value.minute, static_cast<int>(take));
        afterHour = false;
        break;
      case 's':
        number(value.second, static_cast<int>(take));
        afterHour = false;
        break;
      default:
        take = 1;
        out += pattern[i];
        break;
    }
    i += take;
  }
  return out;
}

// ---- Message box ----

namespace {

QSettings programSettings(const std::string& appName) {
  const QString name = QString::fromStdString(appName);
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, name, name);
}

// Writes the settings file through to the disk. QSettings replaces the whole
// file in one step (a flushed temporary file renamed over the old one); the
// folder is flushed after it, so the new name survives a power cut too.
void writeThrough(QSettings& settings) {
  settings.sync();
  if (settings.status() != QSettings::NoError) {
    throw RuntimeError(vbErrPathFileAccess, "Cannot write settings to " + settings.fileName().toStdString());
  }
  durablefile::syncFolderOf(settings.fileName().toStdString());
}

QString settingKey(const std::string& section, const std::string& key) {
  return QString::fromStdString(section) + '/' + QString::fromStdString(key);
}

}  // namespace

// Stands in for GetSetting.
std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
  const QSettings settings = programSettings(appName);
  const QVariant value = settings.value(settingKey(section, key));
  return value.isValid() ? value.toString().toStdString() : defaultValue;
}

// Stands in for SaveSetting.
void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                 const std::string& setting) {
  SaveSettings(appName, section, {{key, setting}});
}

void SaveSettings(const std::string& appName, const std::string& section, const Settings& values) {
  QSettings settings = programSettings(appName);
  for (const auto& [key, value] : values)
    settings.setValue(settingKey(section, key), QString::fromStdString(value));
  writeThrough(settings);
}

// Stands in for GetAllSettings.
std::vector<std::pair<std::string, std::string>> GetAllSettings(const std::string& appName,
                                                                const std::string& section) {
  QSettings settings = programSettings(appName);
  settings.beginGroup(QString::fromStdString(section));
  std::vector<std::pair<std::string, std::string>> all;
  for (const QString& key : settings.childKeys())
    all.emplace_back(key.toStdString(), settings.value(key).toString().toStdString());
  return all;
}

// Stands in for DeleteSetting.
void DeleteSetting(const std::string& appName, const std::string& section, const std::string& key) {
  QSettings settings = programSettings(appName);
  settings.remove(key.empty() ? QString::fromStdString(section) : settingKey(section, key));
  writeThrough(settings);
}

// Stands in for MsgBox.
int MsgBox(const std::string& prompt, int buttons, const std::string& title) {
  if (msgBoxSeam()) return msgBoxSeam()(prompt, buttons, title);
  QMessageBox box;
  switch (buttons & 0x70) {
    case vbCritical:
      box.setIcon(QMessageBox::Critical);
      break;
    case vbQuestion:
      box.setIcon(QMessageBox::Question);
      break;
    case vbExclamation:
      box.setIcon(QMessageBox::Warning);
      break;
    case vbInformation:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
  }
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(prompt));
  box.setWindowTitle(QString::fromStdString(title));
  switch (buttons & 0x0F) {
    case vbOKCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case vbYesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setEscapeButton(QMessageBox::No);
      break;
    default:
      box.setStandardButtons(QMessageBox::Ok);
  }
  switch (box.exec()) {
    case QMessageBox::Cancel:
      return vbCancel;
    case QMessageBox::Yes:
      return vbYes;
    case QMessageBox::No:
      return vbNo;
    default:
      return vbOK;
  }
}

void setMsgBoxHandler(MsgBoxHandler handler) { msgBoxSeam() = std::move(handler); }

// ---- Disk space ----

namespace {

DiskSpaceProbe& diskSpaceSeam() {
  static DiskSpaceProbe probe;
  return probe;
}

}  // namespace

DiskSpace diskSpace(const std::string& path) {
  if (diskSpaceSeam()) return diskSpaceSeam()(path);
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) raise(vbErrPathNotFound);
  return DiskSpace{static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize,
                   static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize};
}

void setDiskSpaceProbe(DiskSpaceProbe probe) { diskSpaceSeam() = std::move(probe); }

}  // namespace vba
