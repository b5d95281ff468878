// saveframe: one grabbed frame per call, named by date and time, never lost,
// never half written, and never a reason for the program to end.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <cerrno>
#include <cstring>

#include "platform/gdi32.h"
#include "platform/user32.h"
#include "store/framestore.h"
#include "tests/fakes/MainWindowFixture.h"

namespace {

class SaveFrame : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    open({"Cam A"});
    startLive();
  }
  QImage preview() const { return user32::fromHandle(modWebCam::capWindow)->surface()->copy(); }
  QImage savedImage(const QString& name) const {
    return QImage(QString::fromStdString(captured()) + "/" + name, "BMP");
  }
};

TEST_F(SaveFrame, WritesWhatThePreviewShowsUnderTheDateAndTimeName) {
  EXPECT_TRUE(QDir(QString::fromStdString(captured())).exists() == false);
  ASSERT_TRUE(form->saveframe());
  ASSERT_EQ(frames(), QStringList{"05_03_2007 080409.bmp"});
  const QImage saved = savedImage("05_03_2007 080409.bmp");
  ASSERT_EQ(saved.size(), QSize(320, 240));
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), preview().convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(QFile(QString::fromStdString(captured()) + "/05_03_2007 080409.bmp").size(), 54 + 320 * 240 * 3);
  ASSERT_TRUE(form->Image1.Picture());
  EXPECT_NE(form->Image1.Picture().Handle(), nullptr);

  // The folder is reused; the next frame replaces the picture in Image1 and
  // the previous one is freed.
  const int objects = gdi32::liveObjectCount();
  clock.second = 29;
  ASSERT_TRUE(form->saveframe());
  EXPECT_EQ(gdi32::liveObjectCount(), objects);
  EXPECT_EQ(frames().size(), 2);
  EXPECT_EQ(allFiles(), frames()) << "no temporary file left behind";
}

// How many pixels of the bottom-left corner are light text on a dark box.
int timeStampPixels(const QImage& frame) {
  int light = 0, dark = 0;
  for (int y = frame.height() * 4 / 5; y < frame.height(); ++y) {
    for (int x = 0; x < frame.width() / 2; ++x) {
      light += qGray(frame.pixel(x, y)) > 200;
      dark += qGray(frame.pixel(x, y)) < 50;
    }
  }
  return std::min(light, dark);
}

// Each option the Capture menu sets: the file decodes as the format chosen,
// at the size chosen, in the camera's colour, with the time stamp in its
// corner only when asked. A plain start has the first row's options; the
// last row's are there again in the next run.
TEST_F(SaveFrame, EachSizeFormatAndTimeStampGivesTheFileAsked) {
  const auto checks = [this] {
    std::string marks;
    for (const vb::Menu* m :
         {&form->mnuCaptureSizeFull, &form->mnuCaptureFormatBmp, &form->mnuCaptureFormatPng,
          &form->mnuCaptureFormatJpeg, &form->mnuCaptureStamp})
      marks += m->Checked() ? 'x' : '.';
    return marks + (form->mnuCaptureSizePreview.Checked() == (marks[0] == '.') ? "" : "!");
  };
  EXPECT_EQ(checks(), ".x...");
  struct Case {
    vb::Menu& size;
    vb::Menu& format;
    bool stamp;
    const char* file;  // the extension, and the format the file reads as
    const char* readAs;
    QSize frameSize;
  };
  const Case cases[] = {
      {form->mnuCaptureSizePreview, form->mnuCaptureFormatBmp, false, "bmp", "bmp", {320, 240}},
      {form->mnuCaptureSizePreview, form->mnuCaptureFormatPng, true, "png", "png", {320, 240}},
      {form->mnuCaptureSizePreview, form->mnuCaptureFormatJpeg, false, "jpg", "jpeg", {320, 240}},
      {form->mnuCaptureSizePreview, form->mnuCaptureFormatJpeg, true, "jpg", "jpeg", {320, 240}},
      {form->mnuCaptureSizeFull, form->mnuCaptureFormatBmp, true, "bmp", "bmp", {640, 360}},
      {form->mnuCaptureSizeFull, form->mnuCaptureFormatPng, false, "png", "png", {640, 360}},
      {form->mnuCaptureSizeFull, form->mnuCaptureFormatJpeg, false, "jpg", "jpeg", {640, 360}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.stamp ? " stamped" : ""));
    c.size.Click();  // the source starts again in the mode for that size
    ASSERT_TRUE(waitFor([] { return modWebCam::previewIsLive(); }, 2000));
    c.format.Click();
    if (form->mnuCaptureStamp.Checked() != c.stamp) form->mnuCaptureStamp.Click();
    ++clock.second;
    ASSERT_TRUE(form->saveframe());
    form->frameStore.waitIdle();
    QImageReader reader(QString::fromStdString(captured()) +
                        QString("/05_03_2007 0804%1.").arg(clock.second, 2, 10, QChar('0')) + c.file);
    EXPECT_EQ(reader.format(), c.readAs);
    const QImage frame = reader.read();
    ASSERT_EQ(frame.size(), c.frameSize);
    const QColor middle = frame.pixelColor(frame.width() / 2, frame.height() / 2);
    EXPECT_LT(
        std::abs(middle.red() - 0x30) + std::abs(middle.green() - 0x80) + std::abs(middle.blue() - 0xC0), 16);
    EXPECT_EQ(timeStampPixels(frame) > 20, c.stamp) << timeStampPixels(frame);
  }
  form->Close();
  open({"Cam A"});
  EXPECT_EQ(checks(), "x..x.");
}

// The run's folder going away (its disk unmounted, or the folder removed) is
// reported on every tick; nothing is made in its place, and frames go there
// again once it is back.
TEST_F(SaveFrame, AFolderThatGoesAwayIsReportedEachTickAndNeverReplaced) {
  const std::string folder = captured();
  const QTemporaryDir disk;  // a file system of its own, bound over "captured"
  const auto bind = [&] {
    return ::mount(qPrintable(disk.path()), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
  };
  const auto removed = [&] { return QDir(QString::fromStdString(folder)).removeRecursively(); };
  const auto made = [&] { return QDir().mkdir(QString::fromStdString(folder)); };
  const auto unmounted = [&] { return ::umount2(folder.c_str(), MNT_DETACH) == 0; };
  for (bool mounted : {false, true}) {
    SCOPED_TRACE(mounted ? "unmounted" : "removed");
    ASSERT_TRUE(removed() && made());
    if (mounted && (::mount("tmpfs", qPrintable(disk.path()), "tmpfs", 0, "size=4m") != 0 || !bind()))
      GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
    startLive();  // a new run, which finds the folder
    form->txtTmr.SetText("1");
    runTick();
    ASSERT_EQ(frames().size(), 1);
    ASSERT_TRUE(mounted ? unmounted() : removed());
    runTick();  // the frame goes to the store, which finds no folder
    for (int tick = 0; tick < 3; ++tick, ++clock.second) {
      runTick();
      EXPECT_EQ(form->lblStatus.Caption(), "Folder " + folder + " is gone; waiting for it to return.");
    }
    EXPECT_EQ(QFileInfo(QString::fromStdString(folder)).isDir(), mounted) << "made anew";
    EXPECT_TRUE(allFiles().isEmpty());
    ASSERT_TRUE(mounted ? bind() : made());
    runTick();
    EXPECT_EQ(frames().size(), mounted ? 2 : 1);
  }
  unmounted();
  ::umount2(qPrintable(disk.path()), MNT_DETACH);
}

TEST_F(SaveFrame, AFrameTakenAtMidnightIsNamedFromOneClockReading) {
  vba::setClock([readings = 0]() mutable {
    return ++readings == 1 ? vba::DateTime{2026, 12, 7, 23, 59, 59} : vba::DateTime{2026, 12, 8, 0, 0, 0};
  });
  ASSERT_TRUE(form->saveframe());
  const QStringList written = frames();
  ASSERT_EQ(written.size(), 1);
  EXPECT_TRUE(written[0] == "07_12_2026 235959.bmp" || written[0] == "08_12_2026 000000.bmp")
      << written[0].toStdString();
}

TEST_F(SaveFrame, ACaptureWindowOfAnotherSizeStillGivesA320By240Frame) {
  user32::SetWindowPos(modWebCam::capWindow, user32::HWND_BOTTOM, 0, 0, 200, 100,
                       user32::SWP_NOMOVE | user32::SWP_NOZORDER);
  ASSERT_TRUE(waitFor([&] { return preview().size() == QSize(200, 100); }, 2000));
  ASSERT_TRUE(waitFor([] { return modWebCam::previewIsLive(); }, 2000));
  ASSERT_TRUE(form->saveframe());
  const QImage saved = savedImage(frames().value(0)).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(saved.size(), QSize(320, 240));
  EXPECT_EQ(saved.pixel(319, 239) & 0xFFFFFF, 0u) << "outside the window is black";
  EXPECT_EQ(saved.pixel(250, 10) & 0xFFFFFF, 0u);
  EXPECT_EQ(saved.copy(0, 0, 200, 100), preview().convertToFormat(QImage::Format_RGB32).copy(0, 0, 200, 100));
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
         QFile f(QString::fromStdString(captured()));
         f.open(QIODevice::WriteOnly);
       },
       "A file named captured"},
      {"the program's folder and the home folder under a plain file",
       [this] {
         QFile f(dir.path() + "/plain");
         f.open(QIODevice::WriteOnly);
         vba::setAppPath(dir.path().toStdString() + "/plain/app");
         ::setenv("HOME", (dir.path() + "/plain/home").toUtf8().constData(), 1);
         startLive();  // a run in the folder the box names now
       },
       "Cannot reach folder"},
      {"a disk that would be filled into its reserve",
       [] { vba::setDiskSpaceProbe([](const std::string&) {
              return vba::DiskSpace{100 << 20, 3 << 20};
            }); },
       "Disk almost full (3 MB left), frame not saved."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    form->txtTmr.SetText("1");
    form->elapsedSecs = 0;
    runTick();  // the frame goes to the store, which fails on it
    runTick();  // says so, and tries again
    EXPECT_NE(form->lblStatus.Caption().find(c.status), std::string::npos) << form->lblStatus.Caption();
    EXPECT_TRUE(frames().isEmpty());
    if (QFileInfo(QString::fromStdString(captured())).isDir()) {
      EXPECT_TRUE(allFiles().isEmpty());
    }

    // Once the cause is gone the next tick saves.
    vba::setDiskSpaceProbe(nullptr);
    vba::setAppPath(dir.path().toStdString());
    QFile::remove(QString::fromStdString(captured()));
    if (vba::Dir(form->frameStore.folder(), vba::vbDirectory).empty()) startLive();
    runTick();
    EXPECT_EQ(form->elapsedSecs, 0);
    EXPECT_EQ(frames().size(), 1);
    QDir(QString::fromStdString(captured())).removeRecursively();
    startLive();  // a new run, which makes its folder again
  }
}

TEST_F(SaveFrame, NoLivePictureNoFile) {
  drivers[0]->live = false;
  ASSERT_TRUE(waitFor([] { return !modWebCam::previewIsLive(); }, 2000));
  EXPECT_FALSE(form->saveframe());
  EXPECT_NE(form->lblStatus.Caption().find("No source connected"), std::string::npos);
  form->cmdStop.Click();
  EXPECT_FALSE(form->saveframe());
  EXPECT_TRUE(frames().isEmpty());
}

// On a real small disk (a 1.5 MB file system mounted over "captured"), frames
// are written until the next one would eat into the reserve; then nothing is
// written and the status says how much is left, until room is made.
TEST_F(SaveFrame, ASmallDiskFillsOnlyUpToItsReserveAndSavingResumes) {
  ASSERT_TRUE(QDir(dir.path()).mkdir("captured"));
  if (::mount("tmpfs", captured().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1536k") != 0)
    GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{captured()};

  const qint64 frameSize = 54 + 320 * 240 * 3;
  form->txtTmr.SetText("1");
  int ticks = 0;
  for (; ticks < 20 && form->lblStatus.Caption().find("Disk") == std::string::npos; ++ticks) {
    clock.second = ticks;  // a new name each tick
    runTick();
  }
  struct statvfs fs {};
  ASSERT_EQ(::statvfs(captured().c_str(), &fs), 0);
  const uint64_t available = uint64_t(fs.f_bavail) * fs.f_frsize;
  const uint64_t reserve = framestore::diskReserve(uint64_t(fs.f_blocks) * fs.f_frsize);
  EXPECT_GE(frames().size(), 4);
  // The failure shows on the tick after the frame that hit the reserve.
  EXPECT_EQ(frames().size(), ticks - 2) << "every tick saved until the reserve was reached";
  EXPECT_GE(available, reserve) << "the reserve was never crossed";
  EXPECT_LT(available, reserve + frameSize) << "stopped only when the next frame would cross it";
  EXPECT_NE(form->lblStatus.Caption().find("Disk almost full ("), std::string::npos);
  EXPECT_NE(form->lblStatus.Caption().find(" MB left)"), std::string::npos);
  EXPECT_EQ(allFiles(), frames()) << "nothing partial or temporary";
  for (const QString& f : frames())
    EXPECT_EQ(QFileInfo(QString::fromStdString(captured()) + "/" + f).size(), frameSize);

  // Still full on the next tick; saving resumes once a frame is deleted.
  runTick();
  EXPECT_EQ(frames().size(), ticks - 2);
  ASSERT_TRUE(QFile::remove(QString::fromStdString(captured()) + "/" + frames().first()));
  clock = {2007, 3, 5, 8, 30, 0};
  runTick();
  EXPECT_EQ(form->elapsedSecs, 0);
  EXPECT_EQ(frames().size(), ticks - 2);
  EXPECT_TRUE(frames().contains("05_03_2007 083000.bmp")) << frames().join(",").toStdString();
}

}  // namespace
