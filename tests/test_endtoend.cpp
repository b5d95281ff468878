// The whole program as a user runs it: the real window (offscreen), the real
// built-in test pattern, the real timer and real files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <set>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
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
    vba::setMsgBoxHandler([](const std::string&, int, const std::string&) { return vba::vbOK; });
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
  QStringList frames() const {
    return QDir(dir.path() + "/captured").entryList({"*.bmp"}, QDir::Files, QDir::Name);
  }

  QTemporaryDir dir;
};

// A time-lapse of the test pattern: distinct 320 x 240 BMP frames every
// interval, and Stop ends the preview. Stop and Start leave the count alone:
// stopped one second after a frame and the pattern taken again, the next
// frame comes one second after Start, or with the first picture when the
// pattern is not live by then.
TEST_F(EndToEnd, TimeLapseOfTheTestPatternThroughStopAndStartAgain) {
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
  ASSERT_TRUE(waitFor([&] { return frames().size() == 2 && form.elapsedSecs == 1; }, 15000))
      << "frames written: " << frames().size();
  form.cmdStop.Click();
  EXPECT_FALSE(user32::IsWindow(modWebCam::capWindow));
  EXPECT_FALSE(modWebCam::previewIsLive());

  std::vector<QImage> images;
  for (const QString& name : frames()) {
    QFile f(dir.path() + "/captured/" + name);
    EXPECT_EQ(f.size(), 54 + 320 * 240 * 3) << "a 24-bit 320 x 240 BMP";
    QImage img(f.fileName(), "BMP");
    ASSERT_FALSE(img.isNull()) << name.toStdString();
    EXPECT_TRUE(nonUniform(img)) << name.toStdString();
    images.push_back(img);
  }
  EXPECT_NE(images[0], images[1]) << "two frames two seconds apart must differ";

  form.cmdStart.Click();
  ticks = liveTick = 0;
  ASSERT_TRUE(waitFor([&] { return frames().size() == 3; }, 10000));
  EXPECT_EQ(ticks, std::max(1, liveTick));
  form.Close();
}

}  // namespace
