// What sending frames off the machine costs, against rclone serving SFTP on
// localhost (the tests' rig): the real window capturing the test pattern at
// interval 1 with a backlog of frames (320 x 240 BMP) waiting when it starts.
// Prints how long the backlog takes to drain next to `rclone copy` of the same
// files to the same server; how late the capture ticks come off their
// one-second grid while the backlog drains, while a day's video is made and
// while nothing else goes on; and the CPU of capturing with sending on (this
// process and its rclone together) and with it off.
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "platform/framefolder.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "schedule/localtime.h"
#include "send/sendqueue.h"
#include "settings/settings.h"
#include "store/framename.h"
#include "tests/fakes/RcloneRig.h"

namespace {

using benchsupport::Clock;

// CPU seconds of this process's rclone remote-control daemon, 0 when none runs.
double rcloneCpuSeconds() {
  double total = 0;
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
    QFile stat("/proc/" + pid + "/stat");
    QFile cmdline("/proc/" + pid + "/cmdline");
    if (!stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly)) continue;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13 || fields[1].toLong() != ::getpid() || !cmdline.readAll().contains("rcd"))
      continue;
    total += (fields[11].toDouble() + fields[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return total;
}

// Lateness of the capture ticks in a stretch of the run, in ms: how far each
// came after the grid, which the earliest tick of the whole run sets.
void printLateness(const char* during, std::vector<double> late, double grid) {
  if (late.empty()) return std::printf("%-34s no ticks\n", during), void();
  for (double& l : late) l -= grid;
  std::sort(late.begin(), late.end());
  const auto at = [&](double q) {
    return late[std::min(late.size() - 1, size_t(q * (late.size() - 1) + 0.5))];
  };
  std::printf("%-34s %4zu ticks: lateness median %6.2f ms, p99 %6.2f ms, worst %6.2f ms\n", during,
              late.size(), at(0.5), at(0.99), late.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int backlog = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
  const double seconds = argc > 2 ? std::max(5.0, std::atof(argv[2])) : 30.0;
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toLocal8Bit());
  qputenv("XDG_STATE_HOME", (dir.path() + "/state").toLocal8Bit());
  vb::Application application(argc, argv);
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });

  fakes::RcloneRig rig;
  if (!rig.start()) {
    std::printf("rclone serve sftp does not start (is rclone installed?)\n");
    return 0;
  }

  // The backlog: frames taken in the last hours, after sending began.
  const QString captured = QString::fromStdString(framefolder::capturedFolder());
  const QString original = dir.path() + "/original";
  QDir().mkpath(captured);
  QDir().mkpath(original);
  const int64_t now = std::time(nullptr);
  const int64_t first = now - 2 * backlog - 10;
  sending::SendQueue(captured.toStdString(), "rig:cam", first - 1);
  QImage image(320, 240, QImage::Format_RGB888);
  for (int i = 0; i < backlog; ++i) {
    image.fill(QColor::fromHsv(i % 360, 200, 200));
    QPainter(&image).drawText(20, 20, QString::number(i));
    const QString name =
        QString::fromStdString(framename::baseName(schedule::localTime(first + 2 * i))) + ".bmp";
    image.save(original + "/" + name);
    QFile::copy(original + "/" + name, captured + "/" + name);
  }
  settings::saveSendOptions({"rig:cam", true, 0, false});

  gstcapture::installDrivers();
  QElapsedTimer clock;
  std::vector<double> late;  // each tick's time less its place on a one-second grid
  frmMain form;
  const auto tick = form.tmrCapture.OnTimer;
  form.tmrCapture.OnTimer = [&] {
    late.push_back(clock.nsecsElapsed() / 1e6 - 1000.0 * static_cast<double>(late.size()));
    tick();
  };
  const auto since = [&](size_t from) { return std::vector<double>(late.begin() + long(from), late.end()); };
  form.Show();  // sending binds to the frames folder here: the backlog starts to drain
  const auto drain0 = Clock::now();
  benchsupport::runEventLoop(0.2);
  std::printf("waiting when the window opened: %s\n", sending::describe(form.sender.state()).c_str());
  form.txtTmr.SetText("1");
  form.List1.SetListIndex(form.List1.ListCount() - 1);  // the test pattern
  form.cmdStart.Click();
  clock.start();
  while (form.sender.state().waiting > 1 || form.sender.state().lastSentAt == 0)
    benchsupport::runEventLoop(0.05);
  const double drained = std::chrono::duration<double>(Clock::now() - drain0).count();
  const std::vector<double> whileDraining = since(0);

  QProcess copy;
  const auto copy0 = Clock::now();
  copy.start("rclone", {"copy", original, "rig:copy"});
  copy.waitForFinished(-1);
  const double copied = std::chrono::duration<double>(Clock::now() - copy0).count();
  std::printf("backlog of %d frames (320 x 240 BMP) to rclone serve sftp on localhost:\n", backlog);
  std::printf(
      "  drained by the sender while capturing in %.2f s; rclone copy of the same files %.2f s"
      " (exit %d); ratio %.2f\n",
      drained, copied, copy.exitCode(), drained / copied);

  // Sending on, at interval 1, against sending off.
  benchsupport::runEventLoop(2);
  size_t mark = late.size();
  double own0 = benchsupport::processCpuSeconds(), rclone0 = rcloneCpuSeconds();
  auto wall0 = Clock::now();
  benchsupport::runEventLoop(seconds);
  double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double sendingOwn = 100 * (benchsupport::processCpuSeconds() - own0) / wall;
  const double sendingRclone = 100 * (rcloneCpuSeconds() - rclone0) / wall;
  const std::vector<double> whileSending = since(mark);
  const std::string sent = form.sender.state().lastSent;

  form.sender.bind(captured.toStdString(), "", true);
  benchsupport::runEventLoop(2);
  mark = late.size();
  own0 = benchsupport::processCpuSeconds();
  wall0 = Clock::now();
  benchsupport::runEventLoop(seconds);
  wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double quiet = 100 * (benchsupport::processCpuSeconds() - own0) / wall;
  const std::vector<double> whileQuiet = since(mark);
  std::printf("capturing at interval 1, %.0f s each (percent of one core):\n", seconds);
  std::printf(
      "  sending on: %.2f %% (this process) + %.2f %% (rclone) = %.2f %%; off: %.2f %%; sending costs %.2f %%"
      " (last sent %s)\n",
      sendingOwn, sendingRclone, sendingOwn + sendingRclone, quiet, sendingOwn + sendingRclone - quiet,
      sent.c_str());

  // The day's video, of the backlog's frames and the run's, made by the chores:
  // made again until it has seen enough ticks to tell.
  mark = late.size();
  form.upkeep.bind(captured.toStdString(), true, 0);
  const QDir videosDir(dir.path() + "/videos");
  QStringList videos;
  double video = 0;
  int made = 0;
  for (; made < 20 && late.size() - mark < 30; ++made) {
    for (const QString& v : videosDir.entryList(QDir::Files)) QFile::remove(videosDir.filePath(v));
    const auto video0 = Clock::now();
    form.upkeep.check(std::time(nullptr), true);
    // Polled without blocking: a wait here would hold the window's thread and
    // make the ticks late by itself.
    while (!form.upkeep.waitIdle(0)) benchsupport::runEventLoop(0.05);
    video += std::chrono::duration<double>(Clock::now() - video0).count();
    videos = videosDir.entryList(QDir::Files);
  }
  const std::vector<double> whileVideo = since(mark);
  std::printf("the day's video (%s) made %d times, %.2f s each\n",
              videos.isEmpty() ? "none" : qPrintable(videos.first()), made, video / made);

  std::printf("capture ticks against their one-second grid:\n");
  const double grid = *std::min_element(late.begin(), late.end());
  printLateness("  while the backlog drains", whileDraining, grid);
  printLateness("  while sending each frame", whileSending, grid);
  printLateness("  while the day's video is made", whileVideo, grid);
  printLateness("  with sending off", whileQuiet, grid);
  form.cmdStop.Click();
  form.Close();
  gstcapture::uninstallDrivers();
  return 0;
}
