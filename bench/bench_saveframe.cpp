// Many frames in a row through saveframe, as a long run would write them, with
// a fake source and a clock that moves one second a frame. Prints the time per
// frame, the live graphics objects and resident memory before and after, and
// whether every file is complete and distinct.
#include <unistd.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <vector>

#include "app/frmMain.h"
#include "bench/BenchSupport.h"
#include "capture/modWebCam.h"
#include "platform/gdi32.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "tests/fakes/FakeDriver.h"

using benchsupport::residentKiB;

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
  long tick = 0;
  vba::setClock([&] {
    const long s = tick++;
    return vba::DateTime{2026,
                         1 + int(s / 86400 / 28 % 12),
                         1 + int(s / 86400 % 28),
                         int(s / 3600 % 24),
                         int(s / 60 % 60),
                         int(s % 60)};
  });
  fakes::installFakeDrivers({"Fake camera"});

  frmMain form;
  form.Show();
  form.cmdStart.Click();
  QDeadlineTimer deadline(5000);
  while (!modWebCam::previewIsLive() && !deadline.hasExpired()) QCoreApplication::processEvents();

  const int warmUp = std::min(100, frames);
  for (int i = 0; i < warmUp; ++i) {
    form.saveframe();
    form.frameStore.waitIdle();
  }
  const int objectsBefore = gdi32::liveObjectCount();
  const long rssBefore = residentKiB();

  std::vector<double> ms;
  ms.reserve(frames);
  int failed = 0;
  QElapsedTimer t;
  for (int i = 0; i < frames; ++i) {
    t.start();
    if (!form.saveframe() && ++failed == 1)
      std::printf("first failure: %s\n", form.lblStatus.Caption().c_str());
    ms.push_back(t.nsecsElapsed() / 1e6);
    // The store writes on its own thread and holds only a few frames waiting:
    // each frame is written before the next is handed over, as at interval 1.
    form.frameStore.waitIdle();
  }
  const int objectsAfter = gdi32::liveObjectCount();
  const long rssAfter = residentKiB();
  form.cmdStop.Click();

  const QFileInfoList files = QDir(dir.path() + "/captured").entryInfoList(QDir::Files | QDir::Hidden);
  std::set<QString> names;
  int complete = 0;
  for (const QFileInfo& f : files) {
    names.insert(f.fileName());
    if (f.fileName().endsWith(".bmp") && f.size() == 54 + 320 * 240 * 3) ++complete;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("saveframe x %d: median %.3f ms, p99 %.3f ms, max %.3f ms; failed %d\n", frames,
              ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back(), failed);
  std::printf("live gdi32 objects: before %d, after %d\n", objectsBefore, objectsAfter);
  std::printf("resident memory: before %ld KiB, after %ld KiB, growth %ld KiB\n", rssBefore, rssAfter,
              rssAfter - rssBefore);
  std::printf("files: %lld in the folder, %zu distinct names, %d complete 320 x 240 BMPs (expected %d)\n",
              static_cast<long long>(files.size()), names.size(), complete, frames + warmUp);
  form.Close();
  return 0;
}
