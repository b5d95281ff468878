#pragma once
// Small helpers the test suites share.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/vba.h"

namespace testsupport {

// Runs the event loop until done() holds or ms milliseconds have passed;
// returns whether done() held.
inline bool waitFor(const std::function<bool()>& done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

// Makes locale the user's locale (Qt's default) for its lifetime, then puts
// back the one before, so a test asserts on the locale it chose whatever LANG
// the suite runs under.
class ScopedLocale {
 public:
  explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
  ~ScopedLocale() { QLocale::setDefault(previous_); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  QLocale previous_;
};

inline QLocale englishLocale() { return QLocale(QLocale::English, QLocale::UnitedStates); }
inline QLocale germanLocale() { return QLocale(QLocale::German, QLocale::Germany); }

// The colour that covers most of a picture, as 0xRRGGBB with each channel
// rounded to a multiple of 64 (255 for the top), so that camera pictures
// compare by their main colour whatever their noise or moving parts.
inline uint32_t mainColour(const QImage& image) {
  std::map<uint32_t, int> count;
  const auto q = [](int v) { return static_cast<uint32_t>(std::min(255, (v + 32) / 64 * 64)); };
  for (int y = 0; y < image.height(); y += 3) {
    for (int x = 0; x < image.width(); x += 3) {
      const QRgb p = image.pixel(x, y);
      ++count[q(qRed(p)) << 16 | q(qGreen(p)) << 8 | q(qBlue(p))];
    }
  }
  if (count.empty()) return 0;
  return std::max_element(count.begin(), count.end(), [](auto& a, auto& b) { return a.second < b.second; })
      ->first;
}

// Waits until the bound preview shows a newer picture than it shows now, as
// the second between two ticks of the countdown gives it; no wait while the
// preview is not live.
inline void waitForNewPicture() {
  const uint32_t shown = modWebCam::previewFrameNumber();
  if (modWebCam::previewIsLive()) waitFor([&] { return modWebCam::previewFrameNumber() != shown; }, 5000);
}

// Starts the window's chosen source as a user would, its countdown then
// ticked by hand at an interval of 1 s; whether the preview went live within
// ms milliseconds.
inline bool startTickingByHand(frmMain& form, int ms) {
  form.cmdStart.Click();
  form.tmrCapture.SetEnabled(false);
  form.txtTmr.SetText("1");
  return waitFor(modWebCam::previewIsLive, ms);
}

// One tick of that countdown, a second after the last (a new picture
// between); whether it wrote a frame into folder.
inline bool tickSaves(frmMain& form, const QString& folder) {
  const auto frames = [&] { return QDir(folder).entryList({"*.bmp"}, QDir::Files).size(); };
  const auto before = frames();
  waitForNewPicture();
  form.tmrCapture.OnTimer();
  form.frameStore.waitIdle();
  return frames() > before;
}

// A file of the given bytes, replacing what was there.
inline void writeFile(const std::string& path, const QByteArray& bytes) {
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// A file's bytes; empty when it cannot be read.
inline QByteArray readFile(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs f and returns the number of the run-time error it raised, if any.
template <typename F>
std::optional<int> errorOf(F&& f) {
  try {
    f();
  } catch (const vba::RuntimeError& e) {
    return e.Number();
  }
  return std::nullopt;
}

// Sets (or, given null, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Sends the sanitizers' own report on a child program (in the sanitizer
// build) to files of its own instead of the child's standard error, so a test
// that reads the child's standard error or exit status reads the program's,
// and fails with the report when there is one. Leak checking stays on; the
// suppressions that matched are not listed, so any report is a finding.
class ChildSanitizerLog {
 public:
  // env, with the sanitizers' report sent here.
  QProcessEnvironment environment(QProcessEnvironment env) const {
    const QString here = "log_path=" + dir_.filePath("report") + ":print_suppressions=0";
    // Each of these may set the report's path, the last read winning.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      const QString options = env.value(name);
      env.insert(name, options.isEmpty() ? here : options + ":" + here);
    }
    return env;
  }

  // What the sanitizers reported on the children since the last call (one
  // file per process); empty when they said nothing.
  std::string takeReport() const {
    std::string report;
    for (const QString& name : QDir(dir_.path()).entryList(QDir::Files)) {
      QFile file(dir_.filePath(name));
      if (file.open(QIODevice::ReadOnly)) report += file.readAll().toStdString();
      file.remove();
    }
    return report;
  }

#ifdef FERROWICK_PROGRAM
  // Starts the program on the offscreen platform, its report sent here.
  void start(QProcess& program, const QStringList& args) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment(env));
    program.start(FERROWICK_PROGRAM, args);
  }
#endif

 private:
  QTemporaryDir dir_;
};

}  // namespace testsupport
