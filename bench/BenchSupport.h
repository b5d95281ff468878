#pragma once
// What the benchmarks share: CPU time, resident memory and threads of this
// process and an event loop run for a while, so figures are taken the same
// way in every benchmark; a source's place in the driver list.
#include <time.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <string>

#include "platform/avicap32.h"

namespace benchsupport {

using Clock = std::chrono::steady_clock;

// CPU seconds this process has used so far, all its threads together.
inline double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Resident memory of this process, in KiB.
inline long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Threads of this process.
inline int threadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return 0;
}

inline void runEventLoop(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

// CPU time of the whole process over wall time, in percent of one core,
// while the event loop runs for the given time.
inline double cpuPercent(double seconds) {
  const double cpu0 = processCpuSeconds();
  const auto wall0 = Clock::now();
  runEventLoop(seconds);
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  return 100.0 * (processCpuSeconds() - cpu0) / wall;
}

// The driver index of the source listed under name; -1 when none is.
inline int driverIndex(const std::string& name) {
  const avicap32::DriverList& drivers = avicap32::driverList();
  for (size_t i = 0; i < drivers.size(); ++i) {
    if (drivers[i]->description() == name) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace benchsupport
