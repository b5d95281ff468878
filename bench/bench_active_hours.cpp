// Active hours under the real window and the built-in test pattern, with the
// clock set to 06:59:15 at Start and active hours 07:00 to 07:01, interval 5:
// prints the CPU used while waiting outside the active hours (camera let go,
// status line ticking), when the camera was taken again and went live, how
// the frames inside the hours fall on the 5-second grid from the opening, and
// that none is written outside them. Takes about two minutes; never fails on
// a time.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "capture/modWebCam.h"
#include "platform/gstcapture.h"
#include "platform/user32.h"
#include "platform/vb.h"
#include "platform/vba.h"

namespace {

vba::DateTime fields(const QDateTime& t) {
  return {t.date().year(), t.date().month(),  t.date().day(),
          t.time().hour(), t.time().minute(), t.time().second()};
}

bool cameraTaken() { return user32::IsWindow(modWebCam::capWindow) != 0; }

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
  vb::Application application(argc, argv);
  vba::setAppPath(dir.path().toStdString());
  gstcapture::installDrivers();

  // The clock runs at its real pace from 06:59:15 today.
  const QDateTime real0 = QDateTime::currentDateTime();
  const QDateTime fake0(real0.date(), QTime(6, 59, 15));
  const qint64 offset = real0.secsTo(fake0);
  vba::setClock([offset] { return fields(QDateTime::currentDateTime().addSecs(offset)); });
  QElapsedTimer clock;
  clock.start();
  const double openingMs = 45000.0;  // 07:00:00, 45 s after Start
  const double closingMs = 105000.0;

  cmdline::Options options;
  options.source = "Test pattern";
  options.interval = "5";
  options.hours = schedule::parseBetween("07:00-07:01");
  options.start = true;
  frmMain form(options);
  form.Show();

  std::vector<double> frameMs;  // when each frame was written, after the opening
  double takenMs = -1, liveMs = -1;
  const auto original = form.tmrCapture.OnTimer;
  const QString folder = dir.filePath("captured");
  qsizetype written = 0;
  form.tmrCapture.OnTimer = [&] {
    original();
    const double now = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    if (takenMs < 0 && cameraTaken()) takenMs = now;
    const qsizetype n = QDir(folder).entryList({"*.bmp"}, QDir::Files).size();
    if (n > written) frameMs.push_back(now - openingMs);
    written = n;
  };
  QTimer liveWatch;
  QObject::connect(&liveWatch, &QTimer::timeout, [&] {
    if (liveMs < 0 && modWebCam::previewIsLive()) liveMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  });
  liveWatch.start(10);

  benchsupport::runEventLoop(1.0);
  std::printf("status while waiting: \"%s\" (camera %s)\n", form.lblStatus.Caption().c_str(),
              cameraTaken() ? "taken" : "let go");
  liveWatch.stop();  // not part of the waiting cost
  const double waiting = benchsupport::cpuPercent(30.0);
  std::printf("CPU while waiting outside the active hours (30 s): %.3f %% of a core\n", waiting);
  liveWatch.start(10);

  benchsupport::runEventLoop((closingMs + 10000.0 - static_cast<double>(clock.elapsed())) / 1000.0);
  std::printf("camera taken again %.1f s before the opening, live %.1f s before it\n",
              (openingMs - takenMs) / 1000, (openingMs - liveMs) / 1000);
  std::printf("status after the closing: \"%s\" (camera %s)\n", form.lblStatus.Caption().c_str(),
              cameraTaken() ? "taken" : "let go");
  liveWatch.stop();
  const double after = benchsupport::cpuPercent(10.0);
  std::printf("CPU while waiting after the closing (10 s): %.3f %% of a core\n", after);

  std::vector<double> offGrid;
  for (size_t k = 0; k < frameMs.size(); ++k) offGrid.push_back(frameMs[k] - 5000.0 * static_cast<double>(k));
  const QStringList names = QDir(folder).entryList({"*.bmp"}, QDir::Files, QDir::Name);
  const auto outside = std::count_if(names.begin(), names.end(), [](const QString& n) {
    const QString hhmmss = n.mid(11, 6);
    return hhmmss < "070000" || hhmmss >= "070100";
  });
  std::printf("frames inside the hours: %zu (12 due), outside them: %lld\n", frameMs.size(),
              static_cast<long long>(outside));
  if (!offGrid.empty()) {
    std::printf("first frame %.0f ms after the opening\n", frameMs.front());
    std::sort(offGrid.begin(), offGrid.end());
    std::printf("frames off the 5 s grid from the opening: min %.0f ms, median %.0f ms, max %.0f ms\n",
                offGrid.front(), offGrid[offGrid.size() / 2], offGrid.back());
  }
  form.cmdStop.Click();
  form.Close();
  gstcapture::uninstallDrivers();
  return 0;
}
