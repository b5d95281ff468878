// How well the countdown keeps its schedule: the real window previewing the
// built-in test pattern, the real one-second timer, frames saved into a
// scratch folder. Prints the cumulative drift against the ideal timeline
// (tick k due k seconds after Start) and the lateness of single ticks, next to
// a default (coarse) Qt timer measured over the same run.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/frmMain.h"
#include "platform/gstcapture.h"
#include "platform/vb.h"
#include "platform/vba.h"

namespace {

struct Lateness {
  double median, p99, worst, drift;
};

Lateness summarise(std::vector<double> late) {
  const double drift = late.back();
  std::sort(late.begin(), late.end());
  auto at = [&](double q) { return late[std::min(late.size() - 1, size_t(q * (late.size() - 1) + 0.5))]; };
  return {at(0.5), at(0.99), late.back(), drift};
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int ticks = argc > 1 ? std::max(2, std::atoi(argv[1])) : 120;
  vb::Application application(argc, argv);
  QTemporaryDir dir;
  vba::setAppPath(dir.path().toStdString());
  vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });

  gstcapture::installDrivers();

  frmMain form;
  form.Show();
  form.List1.SetListIndex(form.List1.ListCount() - 1);  // the built-in test pattern

  QElapsedTimer clock;
  std::vector<double> precise, coarse;
  const auto original = form.tmrCapture.OnTimer;
  form.tmrCapture.OnTimer = [&] {
    precise.push_back(clock.nsecsElapsed() / 1e6 - 1000.0 * (precise.size() + 1));
    original();
    if (int(precise.size()) >= ticks) QCoreApplication::quit();
  };
  QTimer coarseTimer;  // Qt's default timer type, for comparison
  QObject::connect(&coarseTimer, &QTimer::timeout,
                   [&] { coarse.push_back(clock.nsecsElapsed() / 1e6 - 1000.0 * (coarse.size() + 1)); });

  form.cmdStart.Click();
  clock.start();  // the countdown's timer was enabled as Start's last step
  coarseTimer.start(1000);
  std::printf("running %d ticks (%d s) with the preview painting...\n", ticks, ticks);
  QCoreApplication::exec();
  form.cmdStop.Click();

  const Lateness p = summarise(precise);
  std::printf(
      "countdown timer, %zu ticks: cumulative drift %.2f ms; lateness median %.2f ms, p99 %.2f ms, "
      "worst %.2f ms\n",
      precise.size(), p.drift, p.median, p.p99, p.worst);
  if (!coarse.empty()) {
    const Lateness c = summarise(coarse);
    std::printf(
        "default coarse QTimer, %zu ticks: cumulative drift %.2f ms; lateness median %.2f ms, p99 %.2f ms, "
        "worst %.2f ms\n",
        coarse.size(), c.drift, c.median, c.p99, c.worst);
  }
  std::printf("frames saved: %lld\n",
              static_cast<long long>(QDir(dir.path() + "/captured").entryList({"*.bmp"}).size()));
  form.Close();
  gstcapture::uninstallDrivers();
  return 0;
}
