// CPU cost of previewing real cameras: a PipeWire camera (640 x 480 YUY2 at
// 30 frames/s, on a private PipeWire session) and a fake V4L2 MJPEG camera
// (1280 x 720 at 30, registered through GStreamer's device provider API).
// For each, in one run: the camera consumed by a bare fakesink pipeline, the
// program's scaling pipeline without a window, and the running main window
// previewing it. CPU is this process's (all threads), in percent of one core;
// the fake camera's own picture making and JPEG encoding run in this process
// too, and are what its bare figure shows. The headless pipeline and the
// window are measured in turns, rounds times, and the window's cost over the
// headless pipeline's is given for each round and as their median, so a
// moment of load on the machine shows as one odd round. Prints figures;
// never fails on them.
//
//   bench_camera_preview [seconds] [rounds]   (seconds per figure, default 20;
//                                              rounds, default 1)
#include <gst/gst.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "tests/fakes/FakeCameras.h"
#include "tests/fakes/PipeWireRig.h"

namespace {

using benchsupport::Clock;
using benchsupport::cpuPercent;
using benchsupport::processCpuSeconds;
using benchsupport::runEventLoop;

// The camera's device element, as the program's driver list has it.
GstDevice* findDevice(const std::string& displayName) {
  GstDeviceMonitor* monitor = gst_device_monitor_new();
  gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
  GList* list = gst_device_monitor_get_devices(monitor);
  GstDevice* found = nullptr;
  for (GList* l = list; l; l = l->next) {
    gchar* name = gst_device_get_display_name(GST_DEVICE(l->data));
    if (!found && displayName == name) found = GST_DEVICE(gst_object_ref(l->data));
    g_free(name);
  }
  g_list_free_full(list, gst_object_unref);
  gst_object_unref(monitor);
  return found;
}

// The camera's own mode straight into a fakesink.
double bareFakesink(const std::string& displayName, const std::string& caps, double seconds) {
  GstDevice* device = findDevice(displayName);
  if (!device) return -1;
  GstElement* pipeline =
      gst_parse_launch(("capsfilter name=mode caps=" + caps + " ! fakesink sync=false").c_str(), nullptr);
  GstElement* source = gst_device_create_element(device, nullptr);
  GstElement* mode = gst_bin_get_by_name(GST_BIN(pipeline), "mode");
  gst_bin_add(GST_BIN(pipeline), source);
  gst_element_link(source, mode);
  gst_object_unref(mode);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  runEventLoop(1);  // past start-up
  const double cpu = cpuPercent(seconds);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  gst_object_unref(device);
  return cpu;
}

// The program's pipeline, connected and pulled from as the capture window
// does, without a window.
double headlessPipeline(int index, double seconds) {
  auto driver = avicap32::driverList()[static_cast<size_t>(index)];
  if (!driver->connect(320, 240, 15)) return -1;
  QTimer pull;
  QObject::connect(&pull, &QTimer::timeout, [&] {
    driver->isLive();
    driver->latestFrame();
  });
  pull.start(66);
  runEventLoop(1);
  const double cpu = cpuPercent(seconds);
  driver->disconnect();
  return cpu;
}

// The main window previewing the camera (Start pressed, no frame saved).
double runningWindow(int index, double seconds, double* startMs) {
  frmMain form;
  form.Show();
  form.List1.SetListIndex(index);
  form.txtTmr.SetText("32000");
  const auto t0 = Clock::now();
  form.cmdStart.Click();
  while (!modWebCam::previewIsLive() && Clock::now() - t0 < std::chrono::seconds(20)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  *startMs =
      modWebCam::previewIsLive() ? std::chrono::duration<double, std::milli>(Clock::now() - t0).count() : -1;
  runEventLoop(1);
  const double cpu = cpuPercent(seconds);
  form.cmdStop.Click();
  form.Close();
  return cpu;
}

void measure(const char* title, const std::string& listName, const std::string& displayName,
             const std::string& caps, double seconds, int rounds) {
  std::printf("%s\n", title);
  const int index = benchsupport::driverIndex(listName);
  if (index < 0) {
    std::printf("  camera not listed\n");
    return;
  }
  const double bare = bareFakesink(displayName, caps, seconds);
  std::printf("  bare fakesink pipeline      %6.2f %% of one core\n", bare);
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    const double headless = headlessPipeline(index, seconds);
    std::printf("  scaling pipeline, no window %6.2f %% of one core\n", headless);
    double startMs = -1;
    const double window = runningWindow(index, seconds, &startMs);
    std::printf("  running window, previewing  %6.2f %% of one core (Start to live picture %.0f ms)\n",
                window, startMs);
    std::printf("  the program's own share     %6.2f %% of one core (window less bare pipeline)\n",
                window - bare);
    ratios.push_back(window / headless);
    std::printf("  window / no window          %6.2fx\n", ratios.back());
  }
  std::sort(ratios.begin(), ratios.end());
  if (rounds > 1)
    std::printf("  window / no window, median  %6.2fx of %d rounds\n", ratios[ratios.size() / 2], rounds);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 20.0;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  fakes::PipeWireRig rig;  // before GStreamer starts, so its provider finds the session
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  if (!rig.Ok() || !rig.Plug("bench_cam", "Bench PipeWire Cam", 0x20A040)) {
    std::printf("PipeWire session not available: %s\n", rig.Error().c_str());
    return 1;
  }
  fakes::RegisterFakeCameraProvider();
  fakes::FakeCamera mjpeg({"Bench MJPEG Cam",
                           "image/jpeg, width=1280, height=720, framerate=30/1",
                           {{"device.path", "/dev/video90"}},
                           0x4060C0});
  mjpeg.Plug();
  gstcapture::installDrivers();

  std::printf("Camera preview cost, %.0f s per figure, platform %s\n", seconds,
              qgetenv("QT_QPA_PLATFORM").constData());
  measure("PipeWire camera, 640 x 480 YUY2 at 30 frames/s", "Bench PipeWire Cam", "Bench PipeWire Cam",
          "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1", seconds, rounds);
  measure("Fake V4L2 MJPEG camera, 1280 x 720 at 30 frames/s (its picture made and encoded in this process)",
          "Bench MJPEG Cam", "Bench MJPEG Cam", "image/jpeg,width=1280,height=720,framerate=30/1", seconds,
          rounds);
  gstcapture::uninstallDrivers();
  vba::setMsgBoxHandler(nullptr);
  return 0;
}
