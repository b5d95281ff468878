// What full-size stills cost, in the running main window with a frame due
// every second:
// - a fake V4L2 camera that offers only 1280 x 720 MJPEG at 30 frames/s
//   (its picture made and encoded in this process), saving preview-size BMPs
//   against saving full-size JPEGs (the camera's own bytes);
// - a PipeWire camera, 640 x 480 YUY2 at 30 (on a private PipeWire session),
//   previewing only against saving full-size PNGs.
// For each: CPU of this process in percent of one core, the longest a frame
// took from its tick to its file, and the longest the window's thread was
// held up (how late a 10 ms timer fired). Prints figures; never fails on them.
//
//   bench_fullsize [seconds] [rounds]   (seconds per figure, default 20; rounds
//                                        of the MJPEG pair, default 1)
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "settings/settings.h"
#include "tests/fakes/FakeCameras.h"
#include "tests/fakes/PipeWireRig.h"

namespace {

using benchsupport::Clock;
using benchsupport::cpuPercent;
using benchsupport::runEventLoop;

struct Figures {
  double cpu = -1;
  double longestWriteMs = 0;   // tick to file written
  double longestHoldUpMs = 0;  // the window's thread busy
  int frames = 0;
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The main window previewing the camera with the options given; interval 0
// means no frame is ever due.
Figures measure(int index, bool fullSize, framestore::Format format, int interval, double seconds,
                const QString& folder) {
  settings::saveFrameOptions({fullSize, format, false});
  Figures f;
  frmMain form;
  form.Show();
  form.List1.SetListIndex(index);
  form.txtTmr.SetText(interval > 0 ? std::to_string(interval) : "32000");
  form.cmdStart.Click();
  const auto t0 = Clock::now();
  while (!modWebCam::previewIsLive() && Clock::now() - t0 < std::chrono::seconds(20)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  if (!modWebCam::previewIsLive()) return f;
  runEventLoop(2);  // past start-up

  // Each tick's frame is timed from the tick to the store's being done.
  std::atomic<double> longestWrite = 0;
  std::vector<std::thread> waiters;
  const std::function<void()> tick = form.tmrCapture.OnTimer;
  form.tmrCapture.OnTimer = [&] {
    const auto at = Clock::now();
    tick();
    if (form.elapsedSecs != 0) return;  // no frame due this tick
    waiters.emplace_back([&form, at, &longestWrite] {
      form.frameStore.waitIdle();
      const double took = ms(Clock::now() - at);
      for (double seen = longestWrite; took > seen && !longestWrite.compare_exchange_weak(seen, took);) {
      }
    });
  };
  // A 10 ms timer: how late it fires is how long the thread was held up.
  Clock::time_point last = Clock::now();
  double longestHoldUp = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    longestHoldUp = std::max(longestHoldUp, ms(now - last) - 10);
    last = now;
  });
  const int before = QDir(folder).entryList(QDir::Files).size();
  probe.start(10);
  last = Clock::now();
  f.cpu = cpuPercent(seconds);
  probe.stop();
  for (std::thread& t : waiters) t.join();
  f.frames = QDir(folder).entryList(QDir::Files).size() - before;
  f.longestWriteMs = longestWrite;
  f.longestHoldUpMs = longestHoldUp;
  form.cmdStop.Click();
  form.Close();
  return f;
}

void print(const char* what, const Figures& f) {
  std::printf(
      "  %-34s %6.2f %% of one core, %3d frames, write <= %5.1f ms after its tick, UI held <= %5.1f ms\n",
      what, f.cpu, f.frames, f.longestWriteMs, f.longestHoldUpMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::max(3.0, std::atof(argv[1])) : 20.0;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());  // never the user's settings
  fakes::PipeWireRig rig;  // before GStreamer starts, so its provider finds the session
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  const QString folder = dir.path() + "/captured";
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  fakes::RegisterFakeCameraProvider();
  fakes::FakeCamera mjpeg({"Bench MJPEG Cam",
                           "image/jpeg, width=1280, height=720, framerate=30/1",
                           {{"device.path", "/dev/video90"}},
                           0x4060C0});
  mjpeg.Plug();
  const bool pipewire = rig.Ok() && rig.Plug("bench_cam", "Bench PipeWire Cam", 0x20A040);
  gstcapture::installDrivers();

  std::printf("Full-size stills, %.0f s per figure, a frame due every second\n", seconds);
  std::printf("Fake V4L2 camera, only 1280 x 720 MJPEG at 30 frames/s (made and encoded in this process)\n");
  if (const int index = benchsupport::driverIndex("Bench MJPEG Cam"); index >= 0) {
    // In turns, so that a load that comes and goes weighs on both alike.
    for (int round = 1; round <= rounds; ++round) {
      const Figures preview = measure(index, false, framestore::Format::Bmp, 1, seconds, folder);
      const Figures full = measure(index, true, framestore::Format::Jpeg, 1, seconds, folder);
      print("preview-size BMP", preview);
      print("full-size JPEG (the camera's own)", full);
      std::printf("  round %d: full size costs %+.2f %% of one core more\n", round, full.cpu - preview.cpu);
    }
  } else {
    std::printf("  camera not listed\n");
  }
  std::printf("PipeWire camera, 640 x 480 YUY2 at 30 frames/s\n");
  if (const int index = pipewire ? benchsupport::driverIndex("Bench PipeWire Cam") : -1; index >= 0) {
    print("previewing only", measure(index, false, framestore::Format::Bmp, 0, seconds, folder));
    print("full-size PNG", measure(index, true, framestore::Format::Png, 1, seconds, folder));
  } else {
    std::printf("  PipeWire session not available: %s\n", rig.Error().c_str());
  }
  gstcapture::uninstallDrivers();
  vba::setMsgBoxHandler(nullptr);
  return 0;
}
