// What the web page costs a run: the real window capturing the built-in test
// pattern every second into a scratch folder, its web server on loopback.
// Prints CPU with the server off and on with nobody connected, with four
// clients on the live stream (in processes of their own), the answer times
// of 50 clients asking for /latest.jpg 20 times each with the capture
// schedule's offsets from its grid meanwhile, and the program with no window
// against the program with its window (under Xvfb when there is one).
//
//   bench_web [seconds]   (seconds per CPU figure, default 20)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "tests/fakes/Loopback.h"

namespace {

using benchsupport::cpuPercent;
using benchsupport::runEventLoop;

// Asks for path and reads the answer whole: its status code, or -1.
int get(int port, const char* path) {
  const int fd = fakes::connectLoopback(port);
  if (fd < 0) return -1;
  const std::string request =
      std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return -1;
  }
  std::string head;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    if (head.size() < 16) head.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return head.starts_with("HTTP/1.1 ") && head.size() >= 12 ? std::atoi(head.c_str() + 9) : -1;
}

// A client of the live stream, as a process of its own: reads it for the
// given seconds and prints how many bytes and frames came.
int streamClient(int port, double seconds) {
  const int fd = fakes::connectLoopback(port);
  if (fd < 0) return 1;
  const std::string request = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  timeval timeout{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  QElapsedTimer clock;
  clock.start();
  long bytes = 0, frames = 0;
  char buf[65536];
  while (clock.elapsed() < seconds * 1000) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n < 0) continue;
    bytes += n;
    const std::string piece(buf, static_cast<size_t>(n));
    for (size_t at = piece.find("--ferrowickframe"); at != std::string::npos;
         at = piece.find("--ferrowickframe", at + 1))
      ++frames;
  }
  ::close(fd);
  std::printf("%ld %ld\n", bytes, frames);
  return 0;
}

// CPU of another process over the next seconds, in percent of one core.
double childCpuPercent(qint64 pid, double seconds) {
  const auto ticks = [pid] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 1; i <= 13 && stat >> field; ++i) {
    }
    long utime = 0, stime = 0;
    stat >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  };
  const double before = ticks();
  runEventLoop(seconds);
  return 100.0 * (ticks() - before) / seconds;
}

// The program capturing at interval 1 for a while: its CPU once settled.
double programCpu(const QStringList& args, const QProcessEnvironment& env, double seconds) {
  QProcess program;
  program.setProcessEnvironment(env);
  program.start(FERROWICK_BINARY, args);
  if (!program.waitForStarted(10000)) return -1;
  runEventLoop(5);  // past start-up
  const double cpu = childCpuPercent(program.processId(), seconds);
  program.terminate();
  program.waitForFinished(20000);
  return cpu;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--stream-client")
    return streamClient(std::atoi(argv[2]), std::atof(argv[3]));
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::max(2.0, std::atof(argv[1])) : 20.0;
  QTemporaryDir dir;
  // The user's settings are left alone.
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
  qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
  vb::Application application(argc, argv);
  vba::setAppPath(dir.path().toStdString());
  gstcapture::installDrivers();
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });

  frmMain form;
  form.Show();
  form.List1.SetListIndex(form.List1.ListCount() - 1);  // the built-in test pattern
  form.txtTmr.SetText("1");
  // Each tick's offset from the grid of whole seconds since Start.
  QElapsedTimer sinceStart;
  std::vector<double> offsets;
  bool keep = true;
  const auto tick = form.tmrCapture.OnTimer;
  form.tmrCapture.OnTimer = [&] {
    const double ms = sinceStart.nsecsElapsed() / 1e6;
    if (keep) offsets.push_back(ms - 1000.0 * std::round(ms / 1000.0));
    tick();
  };
  form.cmdStart.Click();
  sinceStart.start();
  runEventLoop(3);
  std::printf("The web page's cost, %.0f s per CPU figure (window capturing the test pattern every second)\n",
              seconds);

  const double off = cpuPercent(seconds);
  web::Options options;
  options.port = 0;
  if (const std::string why = form.webServer.start(options); !why.empty()) {
    std::printf("the server does not start: %s\n", why.c_str());
    return 1;
  }
  const int port = form.webServer.port();
  runEventLoop(1);
  const double idle = cpuPercent(seconds);
  std::printf("  server off                       %6.2f %% of one core\n", off);
  std::printf("  server on, nobody connected      %6.2f %% of one core (%+.2f)\n", idle, idle - off);

  // Four watchers of the live stream, each a process of its own.
  std::vector<std::unique_ptr<QProcess>> watchers;
  for (int i = 0; i < 4; ++i) {
    watchers.push_back(std::make_unique<QProcess>());
    watchers.back()->start(QCoreApplication::applicationFilePath(),
                           {"--stream-client", QString::number(port), QString::number(seconds + 3)});
  }
  runEventLoop(1.5);
  const double streaming = cpuPercent(seconds);
  long bytes = 0, frames = 0;
  for (auto& w : watchers) {
    // The window goes on while they finish: its ticks are measured next.
    for (int i = 0; i < (seconds + 10) * 20 && w->state() != QProcess::NotRunning; ++i) runEventLoop(0.05);
    long b = 0, f = 0;
    std::sscanf(w->readAllStandardOutput().constData(), "%ld %ld", &b, &f);
    bytes += b;
    frames += f;
  }
  std::printf(
      "  four clients on the live stream  %6.2f %% of one core (%+.2f on top of capturing), "
      "%.1f frames/s each, %.0f kB/s each\n",
      streaming, streaming - idle, frames / 4.0 / (seconds + 3), bytes / 4.0 / (seconds + 3) / 1000);

  // 50 clients asking for the latest frame 20 times each, all at once; the
  // round again and again for a while, so the capture schedule ticks under
  // it. The grid is the ticks' own phase before (the timer's start), each
  // tick meanwhile measured against it.
  runEventLoop(2);
  std::vector<double> before;
  for (double o : offsets) before.push_back(o);
  const double phase = percentile(before, 0.5);
  std::vector<double> quiet;
  for (double o : before) quiet.push_back(std::abs(o - phase));
  std::vector<double> answers;
  std::mutex answersMutex;
  std::atomic<int> failures{0}, busy{0};
  std::atomic<int> running{0};
  offsets.clear();
  int rounds = 0;
  double worstRound = 0;
  QElapsedTimer all;
  all.start();
  while (all.elapsed() < seconds * 1000) {
    std::vector<double> times;
    running = 50;
    std::vector<std::thread> clients;
    for (int c = 0; c < 50; ++c) {
      clients.emplace_back([&] {
        // The clients stand for other computers: their own work yields to
        // the program's (the server's answers are the program's, and count).
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
        for (int i = 0; i < 20; ++i) {
          QElapsedTimer one;
          one.start();
          const int status = get(port, "/latest.jpg");
          if (status == 503)
            ++busy;
          else if (status != 200)
            ++failures;
          std::lock_guard lock(answersMutex);
          times.push_back(one.nsecsElapsed() / 1e6);
        }
        --running;
      });
    }
    // The window goes on meanwhile.
    while (running > 0) runEventLoop(0.01);
    for (auto& t : clients) t.join();
    worstRound = std::max(worstRound, percentile(times, 0.99));
    answers.insert(answers.end(), times.begin(), times.end());
    ++rounds;
  }
  keep = false;
  std::vector<double> late;
  for (double o : offsets) late.push_back(std::abs(o - phase));
  std::printf(
      "  50 clients x 20 /latest.jpg      %d rounds in %.0f s: answer p50 %.1f ms, p99 %.1f ms (worst "
      "round's p99 %.1f ms), worst %.1f ms, %d answered 503 (more than 16 at once), %d failed\n",
      rounds, all.elapsed() / 1000.0, percentile(answers, 0.5), percentile(answers, 0.99), worstRound,
      percentile(answers, 1.0), busy.load(), failures.load());
  std::printf(
      "  capture ticks meanwhile          %zu ticks, off the grid by p99 %.2f ms, worst %.2f ms "
      "(before: %zu ticks, p99 %.2f ms)\n",
      offsets.size(), percentile(late, 0.99), percentile(late, 1.0), quiet.size(), percentile(quiet, 0.99));
  form.webServer.stop();
  form.cmdStop.Click();
  form.Close();
  gstcapture::uninstallDrivers();

  // The program itself at interval 1: with no window, and with its window.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const QStringList run{"--source", "Test pattern",          "--interval", "1",
                        "--folder", dir.filePath("program"), "--start"};
  QProcessEnvironment headless = env;
  headless.remove("QT_QPA_PLATFORM");
  headless.remove("DISPLAY");
  const double noWindow = programCpu(QStringList{"--no-window"} + run, headless, seconds);
  QProcess xvfb;
  QProcessEnvironment windowed = env;
  const QString xvfbPath = QStandardPaths::findExecutable("Xvfb");
  if (!xvfbPath.isEmpty()) {
    xvfb.start(xvfbPath, {":97", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    runEventLoop(1);
    windowed.remove("QT_QPA_PLATFORM");
    windowed.insert("DISPLAY", ":97");
  }
  const double window = programCpu(run, windowed, seconds);
  std::printf("  ferrowick --no-window            %6.2f %% of one core\n", noWindow);
  std::printf("  ferrowick with its window (%s) %6.2f %% of one core\n",
              xvfbPath.isEmpty() ? "offscreen" : "Xvfb", window);
  if (xvfb.state() == QProcess::Running) {
    xvfb.terminate();
    xvfb.waitForFinished(5000);
  }
  return 0;
}
