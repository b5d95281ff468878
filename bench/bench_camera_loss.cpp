// A PipeWire camera lost and back, 20 times, under the running main window:
// every other cycle its process is stopped (a stall: no error, no end of
// stream) and continued, the others it is killed (its node vanishes) and
// started again under the same node name (new ids). Prints the time from the
// stall or removal to "lost" (the preview no longer live), from the camera's
// return to the first live frame, and the longest the UI thread was held up
// (gaps between the ticks of a 10 ms timer) during the cycles. Never fails
// on a time.
//
//   bench_camera_loss [cycles]   (default 20)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "tests/fakes/PipeWireRig.h"

namespace {

// Runs the event loop until done() holds; the milliseconds it took, -1 after
// the ceiling.
template <typename F>
double msUntil(F done, int ceilingMs = 30000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ceilingMs) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
  }
  return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

void runFor(int ms) {
  msUntil([] { return false; }, ms);
}

struct Figures {
  std::vector<double> lost, back;
};

void print(const char* what, std::vector<double> v) {
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  const int missed = static_cast<int>(std::count(v.begin(), v.end(), -1.0));
  std::erase(v, -1.0);
  if (v.empty()) {
    std::printf("  %-36s never (%d)\n", what, missed);
    return;
  }
  std::printf("  %-36s median %6.0f ms, worst %6.0f ms (%zu cycles%s)\n", what, v[v.size() / 2], v.back(),
              v.size(), missed ? ", some never" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int cycles = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
  fakes::PipeWireRig rig;  // before GStreamer starts, so its provider finds the session
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  const std::string node = "loss_cam";
  if (!rig.Ok() || !rig.Plug(node, "Loss Cam", 0xC04020)) {
    std::printf("PipeWire session not available: %s\n", rig.Error().c_str());
    return 1;
  }
  gstcapture::installDrivers();
  auto form = std::make_unique<frmMain>();
  form->Show();
  form->txtTmr.SetText("2");
  form->cmdStart.Click();
  if (msUntil(modWebCam::previewIsLive) < 0) {
    std::printf("the camera never went live\n");
    return 1;
  }

  // The UI thread's longest hold-up: the largest gap between 10 ms ticks.
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  QTimer watch;
  watch.setTimerType(Qt::PreciseTimer);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (sinceTick.isValid()) longestGap = std::max(longestGap, sinceTick.nsecsElapsed());
    sinceTick.start();
  });
  watch.start(10);

  Figures stall, removal;
  for (int i = 0; i < cycles; ++i) {
    const bool stalls = i % 2 == 0;
    Figures& f = stalls ? stall : removal;
    runFor(1000);  // live for a while
    if (stalls) {
      rig.Stall(node);
    } else {
      rig.Unplug(node, false);
    }
    f.lost.push_back(msUntil([] { return !modWebCam::previewIsLive(); }));
    runFor(1000);  // gone for a while
    if (stalls) {
      rig.Resume(node);
    } else {
      rig.Plug(node, "Loss Cam", 0xC04020, false, false);
    }
    f.back.push_back(msUntil(modWebCam::previewIsLive));
  }
  watch.stop();

  std::printf("PipeWire camera lost and back, %d cycles (%d stalls, %d removals)\n", cycles, (cycles + 1) / 2,
              cycles / 2);
  print("stall to lost", stall.lost);
  print("continued to live frame", stall.back);
  print("removal to lost", removal.lost);
  print("plugged again to live frame", removal.back);
  std::printf("  longest UI-thread hold-up            %6.1f ms (10 ms timer's largest gap, less 10 ms)\n",
              std::max(0.0, static_cast<double>(longestGap) / 1e6 - 10.0));
  form->cmdStop.Click();
  form->Close();
  form.reset();
  gstcapture::uninstallDrivers();
  vba::setMsgBoxHandler(nullptr);
  return 0;
}
