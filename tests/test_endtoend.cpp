// The whole program as a user runs it: the real window (offscreen), the real
// built-in test pattern, the real timer and real files.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <functional>
#include <set>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::waitFor;

bool nonUniform(const QImage& img) {
  std::set<QRgb> colours;
  for (int y = 0; y < img.height(); y += 2)
    for (int x = 0; x < img.width(); x += 2) colours.insert(img.pixel(x, y) & 0xFFFFFF);
  return colours.size() > 2;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    vba::setAppPath(dir.path().toStdString());
    vba::setMsgBoxHandler([this](const std::string& prompt, int, const std::string&) {
      prompts.push_back(prompt);
      return vba::vbOK;
    });
    gstcapture::installDrivers();
  }
  void TearDown() override {
    gstcapture::uninstallDrivers();
    vba::setMsgBoxHandler(nullptr);
    vba::setAppPath("");
  }
  // Selects the built-in test pattern, always the last entry.
  void chooseTestPattern(frmMain& form) {
    ASSERT_GT(form.List1.ListCount(), 0);
    const int last = form.List1.ListCount() - 1;
    ASSERT_EQ(form.List1.List(last), "Test pattern");
    form.List1.SetListIndex(last);
  }
  QImage previewNow() {
    user32::Window* w = user32::fromHandle(modWebCam::capWindow);
    return w && w->surface() ? w->surface()->copy() : QImage();
  }
  QStringList frames() const {
    return QDir(dir.path() + "/captured").entryList({"*.bmp"}, QDir::Files, QDir::Name);
  }

  QTemporaryDir dir;
  std::vector<std::string> prompts;
};

TEST_F(EndToEnd, StartShowsTheLiveTestPatternAndStopEndsIt) {
  frmMain form;
  form.Show();
  chooseTestPattern(form);
  form.cmdStart.Click();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0], "Captured frames will be saved in " + dir.path().toStdString() + "/captured/");

  ASSERT_TRUE(waitFor([&] { return nonUniform(previewNow()); }, 5000)) << "no picture in the preview";
  const QImage first = previewNow();
  EXPECT_EQ(first.size(), QSize(320, 240));
  ASSERT_TRUE(waitFor([&] { return previewNow() != first; }, 3000)) << "the preview does not move";
  EXPECT_TRUE(modWebCam::previewIsLive());

  form.cmdStop.Click();
  EXPECT_FALSE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_FALSE(modWebCam::previewIsLive());
  form.Close();
}

TEST_F(EndToEnd, TimeLapseWritesCompleteDistinctFramesEveryInterval) {
  frmMain form;
  form.Show();
  chooseTestPattern(form);
  form.txtTmr.SetText("2");
  form.cmdStart.Click();

  std::vector<std::string> statuses;
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string s = form.lblStatus.Caption();
        if (!s.empty() && (statuses.empty() || statuses.back() != s)) statuses.push_back(s);
        return frames().size() >= 2;
      },
      15000))
      << "frames written: " << frames().size();
  form.cmdStop.Click();

  // The countdown ran 1, 0 (with a frame), 1, 0 (with a frame).
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "Time till next capture: 1 secs.");
  EXPECT_EQ(statuses[1], "Time till next capture: 0 secs.");

  const QStringList written = frames();
  ASSERT_EQ(written.size(), 2);
  const QRegularExpression pattern("^\\d\\d_\\d\\d_\\d{4} \\d{6}(_\\d+)?\\.bmp$");
  std::vector<QImage> images;
  for (const QString& name : written) {
    EXPECT_TRUE(pattern.match(name).hasMatch()) << name.toStdString();
    QFile f(dir.path() + "/captured/" + name);
    EXPECT_EQ(f.size(), 54 + 320 * 240 * 3) << "a 24-bit 320 x 240 BMP";
    QImage img(f.fileName(), "BMP");
    ASSERT_FALSE(img.isNull()) << name.toStdString();
    EXPECT_EQ(img.size(), QSize(320, 240));
    EXPECT_TRUE(nonUniform(img)) << name.toStdString();
    images.push_back(img);
  }
  EXPECT_NE(images[0], images[1]) << "two frames two seconds apart must differ";
  // Nothing but finished frames in the folder.
  EXPECT_EQ(QDir(dir.path() + "/captured").entryList(QDir::Files | QDir::Hidden).size(), 2);
  form.Close();
  EXPECT_FALSE(user32::IsWindow(modWebCam::capWindow));
}

// Stop and Start leave the count alone: the test pattern let go and taken
// again, the frame due one second after Start comes then, or with the first
// picture when the pattern is not live by then.
TEST_F(EndToEnd, StopAndStartKeepTheCountWhileTheSourceIsTakenAgain) {
  frmMain form;
  form.Show();
  chooseTestPattern(form);
  form.txtTmr.SetText("2");
  int ticks = 0;
  int liveTick = 0;
  const auto original = form.tmrCapture.OnTimer;
  form.tmrCapture.OnTimer = [&] {
    ++ticks;
    if (!liveTick && modWebCam::previewIsLive()) liveTick = ticks;
    original();
  };
  form.cmdStart.Click();
  ASSERT_TRUE(waitFor([&] { return frames().size() == 1 && form.elapsedSecs == 1; }, 10000));
  form.cmdStop.Click();
  form.cmdStart.Click();
  ticks = liveTick = 0;
  ASSERT_TRUE(waitFor([&] { return frames().size() == 2; }, 10000));
  EXPECT_EQ(ticks, std::max(1, liveTick));
  form.Close();
}

}  // namespace
