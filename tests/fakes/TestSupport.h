#pragma once
// Small helpers the test suites share.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>
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
