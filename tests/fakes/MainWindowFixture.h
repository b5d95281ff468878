#pragma once
// A main window over fake capture drivers, a scratch application folder, a
// message box that answers at once and a fixed clock.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "capture/modWebCam.h"
#include "platform/avicap32.h"
#include "platform/vba.h"
#include "settings/settings.h"
#include "tests/fakes/FakeDriver.h"
#include "tests/fakes/TestSupport.h"

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    vba::setAppPath(dir.path().toStdString());
    vba::setMsgBoxHandler([this](const std::string& prompt, int buttons, const std::string& title) {
      boxes.push_back({prompt, buttons, title});
      if (onBox) onBox();
      return vba::vbOK;
    });
    vba::setClock([this] { return clock; });
  }
  void TearDown() override {
    if (form) form->Close();
    form.reset();
    vba::setMsgBoxHandler(nullptr);
    vba::setClock(nullptr);
    vba::setDiskSpaceProbe(nullptr);
    vba::setAppPath("");
    avicap32::resetDrivers();
    settings::saveFrameOptions({});  // the next test starts as a plain start does
  }

  // Installs drivers with the given names and opens the window over them.
  void open(const std::vector<std::string>& names) {
    drivers = fakes::installFakeDrivers(names);
    form = std::make_unique<frmMain>();
    form->Show();
  }

  // Starts the selected source and waits until the preview shows it.
  void startLive() {
    form->cmdStart.Click();
    ASSERT_TRUE(waitFor([] { return modWebCam::previewIsLive(); }, 5000)) << "the preview never went live";
  }

  // One tick of the countdown as the timer delivers it, a second after the
  // last: the preview has shown a new picture meanwhile, and the frame store
  // has written what it was given.
  // The window's own timer is held meanwhile, so it adds no tick of its own.
  void runTick() {
    form->frameStore.waitIdle();
    const bool enabled = form->tmrCapture.Enabled();
    form->tmrCapture.SetEnabled(false);
    testsupport::waitForNewPicture();
    form->tmrCapture.SetEnabled(enabled);
    form->tmrCapture.OnTimer();
  }

  static bool waitFor(const std::function<bool()>& done, int ms) { return testsupport::waitFor(done, ms); }

  std::string captured() const { return dir.path().toStdString() + "/captured"; }
  // The frames written, once the frame store has written what it was given.
  QStringList frames() const {
    if (form) form->frameStore.waitIdle();
    return QDir(QString::fromStdString(captured())).entryList({"*.bmp"}, QDir::Files, QDir::Name);
  }
  QStringList allFiles() const {
    if (form) form->frameStore.waitIdle();
    return QDir(QString::fromStdString(captured())).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  }

  struct Box {
    std::string prompt;
    int buttons;
    std::string title;
  };

  QTemporaryDir dir;
  std::vector<Box> boxes;
  std::function<void()> onBox;
  vba::DateTime clock{2007, 3, 5, 8, 4, 9};
  std::vector<std::shared_ptr<fakes::FakeDriver>> drivers;
  std::unique_ptr<frmMain> form;
};
