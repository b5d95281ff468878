// CPU of a whole time-lapse run beside ffmpeg doing the same job headless,
// measured side by side over the same seconds: the program's main window on an
// X server, the test source previewing, a frame saved every second; ffmpeg
// drawing its own test source at 320 x 240 and 15 frames/s and writing one BMP
// a second. Prints both figures and their ratio; never fails on them.
//
//   bench_timelapse [seconds] [runs]   (default 60 s, 1 run)
//
// Without a DISPLAY it starts a private Xvfb. Needs ffmpeg and, without a
// DISPLAY, Xvfb; says so and stops when they are missing.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"

extern char** environ;

namespace {

using benchsupport::Clock;
using benchsupport::processCpuSeconds;
using benchsupport::runEventLoop;

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// CPU seconds a child process has used so far (all its threads).
double childCpuSeconds(pid_t pid) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return 0;
  const QByteArray line = stat.readAll();
  // The fields after the command name, which is in parentheses.
  const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
  if (fields.size() < 13) return 0;
  return (fields[11].toDouble() + fields[12].toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A private X server when there is none; its process id, or 0.
pid_t startXvfb() {
  if (qEnvironmentVariableIsSet("DISPLAY")) return 0;
  for (int n = 90; n < 100; ++n) {
    if (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n))) continue;
    const std::string display = ":" + std::to_string(n);
    const pid_t pid = spawn({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (pid <= 0) return 0;
    for (int i = 0; i < 100 && !QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)); ++i) QThread::msleep(50);
    if (!QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n))) {
      stop(pid);
      return 0;
    }
    qputenv("DISPLAY", display.c_str());
    return pid;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(5.0, std::atof(argv[1])) : 60.0;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const pid_t xvfb = startXvfb();
  if (!qEnvironmentVariableIsSet("DISPLAY")) {
    std::printf("No X server: set DISPLAY or install Xvfb\n");
    return 0;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  vb::Application application(argc, argv);

  QTemporaryDir ours, theirs;
  vba::setAppPath(ours.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });

  gstcapture::installDrivers();
  frmMain form;
  form.Show();
  form.txtTmr.SetText("1");
  form.List1.SetListIndex(form.List1.ListCount() - 1);  // the test source, always listed last
  form.cmdStart.Click();

  const std::string pattern = theirs.path().toStdString() + "/%d_%m_%Y %H%M%S.bmp";
  const pid_t ffmpeg = spawn({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                              "testsrc=size=320x240:rate=15", "-vf", "fps=1", "-strftime", "1",
                              "-atomic_writing", "1", pattern});
  if (ffmpeg <= 0) {
    std::printf("ffmpeg does not start\n");
    stop(xvfb);
    return 0;
  }
  runEventLoop(5);  // both past start-up

  std::printf("Time-lapse at interval 1 s, %.0f s per run, display %s\n", seconds,
              qgetenv("DISPLAY").constData());
  std::printf("%-5s %12s %12s %8s\n", "run", "ferrowick %", "ffmpeg %", "ratio");
  for (int run = 1; run <= runs; ++run) {
    const size_t frames0 = QDir(ours.path() + "/captured").entryList({"*.bmp"}).size();
    const double own0 = processCpuSeconds();
    const double their0 = childCpuSeconds(ffmpeg);
    const auto wall0 = Clock::now();
    runEventLoop(seconds);
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double own = 100.0 * (processCpuSeconds() - own0) / wall;
    const double their = 100.0 * (childCpuSeconds(ffmpeg) - their0) / wall;
    const size_t frames = QDir(ours.path() + "/captured").entryList({"*.bmp"}).size() - frames0;
    std::printf("%-5d %12.2f %12.2f %8.2f   (%zu frames saved)\n", run, own, their,
                their > 0 ? own / their : 0.0, frames);
    std::fflush(stdout);
  }
  std::printf("(percent of one core; ratio = ferrowick / ffmpeg)\n");

  stop(ffmpeg);
  form.cmdStop.Click();
  form.Close();
  gstcapture::uninstallDrivers();
  stop(xvfb);
  return 0;
}
