#pragma once
// Small helpers the test suites share.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "platform/vba.h"

namespace testsupport {

// Runs the event loop until done() holds or ms milliseconds have passed;
// returns whether done() held.
inline bool WaitFor(const std::function<bool()>& done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

// The colour that covers most of a picture, as 0xRRGGBB with each channel
// rounded to a multiple of 64 (255 for the top), so that camera pictures
// compare by their main colour whatever their noise or moving parts.
inline uint32_t MainColour(const QImage& image) {
  std::map<uint32_t, int> count;
  const auto q = [](int v) { return static_cast<uint32_t>(std::min(255, (v + 32) / 64 * 64)); };
  for (int y = 0; y < image.height(); y += 3) {
    for (int x = 0; x < image.width(); x += 3) {
      const QRgb p = image.pixel(x, y);
      ++count[q(qRed(p)) << 16 | q(qGreen(p)) << 8 | q(qBlue(p))];
    }
  }
  if (count.empty()) return 0;
  return std::max_element(count.begin(), count.end(), [](auto& a, auto& b) { return a.second < b.second; })
      ->first;
}

// Runs f and returns the number of the run-time error it raised, if any.
template <typename F>
std::optional<int> ErrorOf(F&& f) {
  try {
    f();
  } catch (const vba::RuntimeError& e) {
    return e.Number();
  }
  return std::nullopt;
}

}  // namespace testsupport
