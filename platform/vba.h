#pragma once
// Stand-in for the forms runtime's functions: text conversions, the
// application folder, files and folders, date and time, the message box and
// the settings. Failures raise RuntimeError, as the runtime's run-time
// errors do.
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vba {

// The runtime's error numbers used here.
constexpr int vbErrInvalidProcedureCall = 5;
constexpr int vbErrOverflow = 6;
constexpr int vbErrTypeMismatch = 13;
constexpr int vbErrDiskFull = 61;
constexpr int vbErrPathFileAccess = 75;
constexpr int vbErrPathNotFound = 76;
constexpr int vbErrInvalidPicture = 481;

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int number, const std::string& description);
  int Number() const { return number_; }

 private:
  int number_;
};

// ---- Conversions (the user's locale: QLocale's default) ----
// CDbl: text to double, with the user's decimal separator; leading and
// trailing spaces allowed. Not a number: error 13. Out of range: error 6.
double CDbl(const std::string& text);
// CInt: to a 16-bit integer, nearest, halves to even. Not a number: error 13;
// outside -32768..32767 after rounding: error 6.
int16_t CInt(const std::string& text);
int16_t CInt(double value);
// CStr: at most 15 significant digits, no trailing zeros, whole values
// without a point, the user's decimal separator, leading minus.
std::string CStr(double value);
std::string CStr(int32_t value);
std::string Trim(const std::string& text);

// ---- The application folder ----
// The folder holding the program, without a trailing separator (except "/").
std::string AppPath();
// Test seam: the application folder; empty returns to the real one.
void setAppPath(const std::string& folder);

// ---- Files and folders (paths use '/') ----
constexpr int vbNormal = 0;
constexpr int vbDirectory = 16;
// Dir: the name (last component) of the file at pathName, or of a folder when
// attributes include vbDirectory; empty text when nothing matches.
std::string Dir(const std::string& pathName, int attributes = vbNormal);
void MkDir(const std::string& path);

// Test seam: the system call that writes file contents, so tests can make a
// write fail (a full disk) without needing a full disk. Null restores write(2).
using FileWriter = std::function<ssize_t(int fd, const void* buf, size_t count)>;
void setFileWriter(FileWriter writer);
// Writes every byte through the seam's writer (write(2) without one), going
// on after short writes and interruptions; 0 or the errno of the failure.
int fileWriteAll(int fd, const uint8_t* data, size_t size);

// The size of the file system holding a path and the bytes free on it for
// the program's files.
struct DiskSpace {
  uint64_t size = 0;
  uint64_t available = 0;
};
// diskSpace: the file system holding path; error 76 when it cannot be asked.
DiskSpace diskSpace(const std::string& path);
// Test seam: what diskSpace reports; null restores statvfs(3).
using DiskSpaceProbe = std::function<DiskSpace(const std::string& path)>;
void setDiskSpaceProbe(DiskSpaceProbe probe);

// ---- Date and time ----
struct DateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const DateTime&) const = default;
};
// Now: the local date and time from one clock reading.
DateTime Now();
// Date: today's local date (time fields 0); Time: the local time of day
// (date fields at the runtime's day zero).
DateTime Date();
DateTime Time();
// Test seam: the clock behind Now, Date and Time; null restores the system clock.
void setClock(std::function<DateTime()> clock);
// Format: patterns built of d, dd, M, MM, yy, yyyy, h, hh (00 to 23), n, nn,
// s, ss; "mm" and "m" mean minutes after an hour token and months elsewhere.
// Other characters are copied.
std::string Format(const DateTime& value, const std::string& pattern);

// ---- Message box ----
// Buttons, one of:
constexpr int vbOKOnly = 0;
constexpr int vbOKCancel = 1;
constexpr int vbYesNo = 4;
// plus at most one icon:
constexpr int vbCritical = 16;
constexpr int vbQuestion = 32;
constexpr int vbExclamation = 48;
constexpr int vbInformation = 64;
// The button pressed:
constexpr int vbOK = 1;
constexpr int vbCancel = 2;
constexpr int vbYes = 6;
constexpr int vbNo = 7;
// MsgBox: a modal box with the prompt and title; returns the button pressed
// (closing the box counts as Cancel, or No where there is no Cancel).
int MsgBox(const std::string& prompt, int buttons = vbOKOnly, const std::string& title = "");
// Test seam: what MsgBox shows; null restores the modal box.
using MsgBoxHandler = std::function<int(const std::string& prompt, int buttons, const std::string& title)>;
void setMsgBoxHandler(MsgBoxHandler handler);

// ---- Settings ----
// The user's settings of a program, kept between runs: section and key below
// appName, in appName/appName.conf in the user's XDG config folder.
// GetSetting: the value, or defaultValue when none is stored.
std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key,
                       const std::string& defaultValue = "");
// SaveSetting: stores the value and writes it through to the disk before it
// returns, so a program killed or a power cut a moment later keeps it. A
// settings file that cannot be written: error 75.
void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                 const std::string& setting);
// SaveSettings: several keys of a section (a key may name a subsection, as
// "Frames/Size") stored and written through together, in one write of the
// settings file: all of them are kept, or none.
using Settings = std::vector<std::pair<std::string, std::string>>;
void SaveSettings(const std::string& appName, const std::string& section, const Settings& values);
// GetAllSettings: every key of a section with its value, in key order.
std::vector<std::pair<std::string, std::string>> GetAllSettings(const std::string& appName,
                                                                const std::string& section);
// DeleteSetting: removes one key, or a whole section when key is empty;
// written through like SaveSetting.
void DeleteSetting(const std::string& appName, const std::string& section, const std::string& key = "");

}  // namespace vba
