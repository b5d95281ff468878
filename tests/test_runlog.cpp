// The run log: the program's messages, each with its local date and time,
// other messages not; past its limit the older half goes, cut at a line.
#include <gtest/gtest.h>

#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "platform/vba.h"
#include "run/runlog.h"
#include "tests/fakes/TestSupport.h"

namespace {

TEST(RunLog, KeepsTheProgramsLinesWithTheirTimeWithinItsBound) {
  QTemporaryDir state;
  const testsupport::ScopedEnv env("XDG_STATE_HOME", state.path().toLocal8Bit().constData());
  vba::setClock([] { return vba::DateTime{2007, 3, 5, 8, 4, 9}; });
  constexpr int kLimit = 4096;
  run::installRunLog(kLimit);
  const QString path = QString::fromStdString(run::runLogPath());
  EXPECT_EQ(path, state.path() + "/Ferrowick/run.log");
  const auto text = [&] { return QString::fromUtf8(testsupport::readFile(path.toStdString())); };

  const QLoggingCategory camera("ferrowick.camera");
  const QLoggingCategory elsewhere("elsewhere");
  const QLoggingCategory runs("ferrowick.run", QtInfoMsg);
  qCWarning(camera).noquote() << "Internal data stream error.\ndebug: streaming stopped";
  qCWarning(elsewhere) << "not the program's";
  qCDebug(runs) << "too fine to keep";
  EXPECT_EQ(text(), "2007-03-05 08:04:09  camera: Internal data stream error. debug: streaming stopped\n");

  for (int i = 1; i <= 300; ++i) qCInfo(runs).noquote() << "Frames saved:" << i;
  const QString kept = text();
  EXPECT_LE(kept.size(), kLimit);
  EXPECT_GT(kept.size(), kLimit / 3);
  EXPECT_TRUE(kept.endsWith("  Frames saved: 300\n"));
  // Whole lines only, the newest ones, in order.
  const QStringList lines = kept.split('\n', Qt::SkipEmptyParts);
  const QRegularExpression line(R"(^2007-03-05 08:04:09  Frames saved: (\d+)$)");
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QRegularExpressionMatch m = line.match(lines[i]);
    ASSERT_TRUE(m.hasMatch()) << lines[i].toStdString();
    EXPECT_EQ(m.captured(1).toInt(), 300 - (lines.size() - 1 - i));
  }
  run::installRunLog();
  vba::setClock(nullptr);
}

}  // namespace
