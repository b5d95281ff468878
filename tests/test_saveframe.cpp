// saveframe: one grabbed frame per call, named by date and time, never lost,
// never half written, and never a reason for the program to end.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QFile>
#include <QImage>
#include <cerrno>

#include "platform/gdi32.h"
#include "platform/user32.h"
#include "tests/fakes/MainWindowFixture.h"

namespace {

class SaveFrame : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    Open({"Cam A"});
    StartLive();
  }
  QImage Preview() const { return user32::FromHandle(modWebCam::capWindow)->surface()->copy(); }
  QImage Saved(const QString& name) const {
    return QImage(QString::fromStdString(Captured()) + "/" + name, "BMP");
  }
};

TEST_F(SaveFrame, WritesWhatThePreviewShowsUnderTheDateAndTimeName) {
  EXPECT_TRUE(QDir(QString::fromStdString(Captured())).exists() == false);
  ASSERT_TRUE(form->saveframe());
  ASSERT_EQ(Frames(), QStringList{"05_03_2007 080409.bmp"});
  const QImage saved = Saved("05_03_2007 080409.bmp");
  ASSERT_EQ(saved.size(), QSize(320, 240));
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), Preview().convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(QFile(QString::fromStdString(Captured()) + "/05_03_2007 080409.bmp").size(), 54 + 320 * 240 * 3);
  ASSERT_TRUE(form->Image1.Picture());
  EXPECT_NE(form->Image1.Picture().Handle(), nullptr);

  // The folder is reused; the next frame replaces the picture in Image1 and
  // the previous one is freed.
  const int objects = gdi32::LiveObjectCount();
  clock.second = 29;
  ASSERT_TRUE(form->saveframe());
  EXPECT_EQ(gdi32::LiveObjectCount(), objects);
  EXPECT_EQ(Frames().size(), 2);
  EXPECT_EQ(AllFiles(), Frames()) << "no temporary file left behind";
}

TEST_F(SaveFrame, AFrameTakenAtMidnightIsNamedFromOneClockReading) {
  int readings = 0;
  vba::SetClock([&] {
    return ++readings == 1 ? vba::DateTime{2026, 12, 7, 23, 59, 59} : vba::DateTime{2026, 12, 8, 0, 0, 0};
  });
  ASSERT_TRUE(form->saveframe());
  const QStringList frames = Frames();
  ASSERT_EQ(frames.size(), 1);
  EXPECT_TRUE(frames[0] == "07_12_2026 235959.bmp" || frames[0] == "08_12_2026 000000.bmp")
      << frames[0].toStdString();
}

TEST_F(SaveFrame, ATakenNameIsNeverOverwritten) {
  // Three frames in one second, then the clock set back an hour onto the
  // same names: every frame is kept, the first under the plain name.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(form->saveframe());
  const QByteArray first = [&] {
    QFile f(QString::fromStdString(Captured()) + "/05_03_2007 080409.bmp");
    f.open(QIODevice::ReadOnly);
    return f.readAll();
  }();
  ASSERT_TRUE(form->saveframe());
  EXPECT_EQ(Frames(), (QStringList{"05_03_2007 080409.bmp", "05_03_2007 080409_2.bmp",
                                   "05_03_2007 080409_3.bmp", "05_03_2007 080409_4.bmp"}));
  QFile again(QString::fromStdString(Captured()) + "/05_03_2007 080409.bmp");
  again.open(QIODevice::ReadOnly);
  EXPECT_EQ(again.readAll(), first);
}

TEST_F(SaveFrame, ACaptureWindowOfAnotherSizeStillGivesA320By240Frame) {
  user32::SetWindowPos(modWebCam::capWindow, user32::HWND_BOTTOM, 0, 0, 200, 100,
                       user32::SWP_NOMOVE | user32::SWP_NOZORDER);
  ASSERT_TRUE(WaitFor([&] { return Preview().size() == QSize(200, 100); }, 2000));
  ASSERT_TRUE(WaitFor([] { return modWebCam::PreviewIsLive(); }, 2000));
  ASSERT_TRUE(form->saveframe());
  const QImage saved = Saved(Frames().value(0)).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(saved.size(), QSize(320, 240));
  EXPECT_EQ(saved.pixel(319, 239) & 0xFFFFFF, 0u) << "outside the window is black";
  EXPECT_EQ(saved.pixel(250, 10) & 0xFFFFFF, 0u);
  EXPECT_EQ(saved.copy(0, 0, 200, 100), Preview().convertToFormat(QImage::Format_RGB32).copy(0, 0, 200, 100));
}

// Each way the disk or the folder can refuse a frame: the program goes on,
// no file is left, the status line says what happened, and the next tick
// tries again.
TEST_F(SaveFrame, FailuresLeaveNoFileAndSayWhy) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* status;
  };
  const testsupport::ScopedEnv home("HOME", std::getenv("HOME"));
  const testsupport::ScopedEnv configHome("XDG_CONFIG_HOME", nullptr);
  const testsupport::ScopedEnv pictures("XDG_PICTURES_DIR", nullptr);
  const Case cases[] = {
      {"a plain file named captured",
       [this] {
         QFile f(QString::fromStdString(Captured()));
         f.open(QIODevice::WriteOnly);
       },
       "A file named captured"},
      {"the program's folder and the home folder under a plain file",
       [this] {
         QFile f(dir.path() + "/plain");
         f.open(QIODevice::WriteOnly);
         vba::SetAppPath(dir.path().toStdString() + "/plain/app");
         ::setenv("HOME", (dir.path() + "/plain/home").toUtf8().constData(), 1);
       },
       "Cannot reach folder"},
      {"a full disk",
       [] {
         int written = 0;
         vba::SetFileWriter([written](int fd, const void* buf, size_t n) mutable -> ssize_t {
           if (written > 1000) {
             errno = ENOSPC;
             return -1;
           }
           const ssize_t r = ::write(fd, buf, std::min<size_t>(n, 512));
           written += int(r);
           return r;
         });
       },
       "Disk full"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    form->txtTmr.SetText("1");
    form->elapsedSecs = 0;
    form->tmrCapture.OnTimer();
    EXPECT_EQ(form->elapsedSecs, 1) << "a failed save must not reset the count";
    EXPECT_NE(form->lblStatus.Caption().find(c.status), std::string::npos) << form->lblStatus.Caption();
    EXPECT_TRUE(Frames().isEmpty());
    if (QFileInfo(QString::fromStdString(Captured())).isDir()) {
      EXPECT_TRUE(AllFiles().isEmpty());
    }

    // Once the cause is gone the next tick saves.
    vba::SetFileWriter(nullptr);
    vba::SetAppPath(dir.path().toStdString());
    QFile::remove(QString::fromStdString(Captured()));
    form->tmrCapture.OnTimer();
    EXPECT_EQ(form->elapsedSecs, 0);
    EXPECT_EQ(Frames().size(), 1);
    QDir(QString::fromStdString(Captured())).removeRecursively();
  }
}

TEST_F(SaveFrame, NoLivePictureNoFile) {
  drivers[0]->live = false;
  ASSERT_TRUE(WaitFor([] { return !modWebCam::PreviewIsLive(); }, 2000));
  EXPECT_FALSE(form->saveframe());
  EXPECT_NE(form->lblStatus.Caption().find("No source connected"), std::string::npos);
  form->cmdStop.Click();
  EXPECT_FALSE(form->saveframe());
  EXPECT_TRUE(Frames().isEmpty());
}

}  // namespace
