// CPU cost of the live preview, and the time from Start to the first painted
// frame. Prints figures; never fails on them.
//
//   bench_preview [seconds]   (seconds per measurement, default 60)
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstsession.h"
#include "platform/user32.h"
#include "platform/vb.h"
#include "tests/fakes/LaunchDriver.h"

namespace {

using benchsupport::Clock;
using benchsupport::cpuPercent;
using benchsupport::processCpuSeconds;
using benchsupport::runEventLoop;

avicap32::CAPSTATUS status() {
  avicap32::CAPSTATUS s;
  user32::SendMessageA(modWebCam::capWindow, avicap32::WM_CAP_GET_STATUS, sizeof s,
                       reinterpret_cast<LPARAM>(&s));
  return s;
}

// Milliseconds from StartPreview to the first frame painted in the capture
// window; negative when none came within 5 s.
double startToFirstFrameMs(vb::PictureBox& area) {
  const auto t0 = Clock::now();
  modWebCam::StartPreview(0, area);
  while (status().dwCurrentVideoFrame == 0) {
    if (Clock::now() - t0 > std::chrono::seconds(5)) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Source {
  const char* name;
  std::function<std::shared_ptr<avicap32::CaptureDriver>()> make;
};

void measure(const Source& source, double seconds, vb::PictureBox& area) {
  std::printf("%s\n", source.name);

  // The pipeline alone: connected, frames dropped by the appsink, nothing painted.
  {
    auto driver = source.make();
    if (!driver->connect(320, 240, 15)) {
      std::printf("  pipeline does not start\n");
      return;
    }
    runEventLoop(1);  // past start-up
    std::printf("  bare pipeline            %6.2f %% of one core\n", cpuPercent(seconds));
    driver->disconnect();
  }

  avicap32::setDrivers({source.make()});
  std::vector<double> starts;
  for (int i = 0; i < 5; ++i) {
    starts.push_back(startToFirstFrameMs(area));
    if (i < 4) modWebCam::StopPreview();
  }
  runEventLoop(1);
  const DWORD frames0 = status().dwCurrentVideoFrame;
  const double cpu = cpuPercent(seconds);
  const DWORD frames = status().dwCurrentVideoFrame - frames0;
  const bool live = modWebCam::previewIsLive();
  modWebCam::StopPreview();
  avicap32::resetDrivers();

  std::printf("  preview in capture window %6.2f %% of one core (%.1f frames/s painted, live at end: %s)\n",
              cpu, frames / seconds, live ? "yes" : "no");
  std::vector<double> warm(starts.begin() + 1, starts.end());
  std::sort(warm.begin(), warm.end());
  std::printf("  start to first frame      %6.1f ms first, %.1f ms median of %zu more (%.1f..%.1f)\n",
              starts[0], warm[warm.size() / 2], warm.size(), warm.front(), warm.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 60.0;
  vb::Application application(argc, argv);

  // The preview area where the main window has it.
  vb::Form form("bench_preview", 8535, 5220);
  vb::PictureBox area(form, 3600, 1440, 4800, 3600, 1);
  form.Show();

  std::printf("Preview cost, %.0f s per figure, platform %s\n", seconds,
              qgetenv("QT_QPA_PLATFORM").constData());
  const Source sources[] = {
      {"Test pattern (320 x 240 at 15 frames/s)", [] { return gstcapture::makeTestPattern(); }},
      {"Camera-like (1280 x 720 at 30 frames/s before the pipeline's scaling)",
       [] {
         return fakes::makeLaunchDriver(
             "videotestsrc is-live=true pattern=smpte100 ! "
             "video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1 ! " +
                 gstcapture::cameraChain(320, 240, 15),
             "camera-like");
       }},
  };
  for (const Source& s : sources) measure(s, seconds, area);
  return 0;
}
