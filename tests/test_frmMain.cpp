// Start, Stop and closing the window, over fake capture drivers.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QTest>
#include <QWidget>
#include <functional>

#include "platform/user32.h"
#include "tests/fakes/MainWindowFixture.h"

namespace {

bool topmost(frmMain& form) { return form.widget()->windowFlags().testFlag(Qt::WindowStaysOnTopHint); }

TEST_F(MainWindowTest, StartTellsWhereFramesGoBeforeLookingAtTheList) {
  open({});
  bool topmostDuringBox = true;
  onBox = [&] { topmostDuringBox = topmost(*form); };
  const int windows = user32::liveWindowCount();
  form->cmdStart.Click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].prompt, "Captured frames will be saved in " + dir.path().toStdString() + "/captured/");
  EXPECT_EQ(boxes[0].buttons, vba::vbOKOnly);
  EXPECT_EQ(boxes[0].title, "");
  EXPECT_FALSE(topmostDuringBox) << "the box must not hide behind the window";
  EXPECT_TRUE(topmost(*form));
  // Nothing to start: no capture window, the timer stays off.
  EXPECT_EQ(user32::liveWindowCount(), windows);
  EXPECT_FALSE(form->tmrCapture.Enabled());
}

// Putting the window on top never hides, moves or resizes it: after the
// Start box and after Stop it is shown, on top, where it was.
TEST_F(MainWindowTest, StaysOnTopShownInPlaceThroughStartAndStop) {
  open({"Cam A"});
  QWidget* w = form->widget();
  w->move(120, 90);
  const QRect placed = w->geometry();
  struct Stage {
    const char* what;
    std::function<void()> act;
  };
  const Stage stages[] = {{"Start", [this] { startLive(); }}, {"Stop", [this] { form->cmdStop.Click(); }}};
  for (const Stage& s : stages) {
    SCOPED_TRACE(s.what);
    s.act();
    QCoreApplication::processEvents();
    EXPECT_TRUE(topmost(*form));
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->geometry(), placed);
  }
}

TEST_F(MainWindowTest, StartWithNoEntryChosenOnlyShowsTheBox) {
  struct Case {
    const char* what;
    std::function<void(vb::ListBox&)> unchoose;
  };
  const Case cases[] = {
      {"no current entry", [](vb::ListBox& list) { list.SetListIndex(-1); }},
      {"the entry deselected with Ctrl+click",
       [](vb::ListBox& list) {
         auto* w = static_cast<QListWidget*>(list.widget());
         QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::ControlModifier,
                           w->visualItemRect(w->item(0)).center());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    open({"Cam A", "Cam B"});
    ASSERT_EQ(form->List1.ListIndex(), 0);
    boxes.clear();
    c.unchoose(form->List1);
    EXPECT_EQ(form->List1.ListIndex(), -1);
    form->cmdStart.Click();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(drivers[0]->connects + drivers[1]->connects, 0);
    EXPECT_FALSE(form->tmrCapture.Enabled());
    form->Close();
  }
}

TEST_F(MainWindowTest, StartBindsTheSelectedSourceIntoThePreviewArea) {
  open({"Cam A", "Cam B"});
  form->List1.SetListIndex(1);
  startLive();
  EXPECT_EQ(modWebCam::capSource, 1);
  EXPECT_EQ(drivers[0]->connects, 0);
  EXPECT_EQ(drivers[1]->connects, 1);
  EXPECT_TRUE(form->tmrCapture.Enabled());
  EXPECT_EQ(user32::fromHandle(modWebCam::capWindow)->widget()->parentWidget(), form->Picture1.widget());
}

TEST_F(MainWindowTest, RefusedConnectionStillStartsTheTimer) {
  open({"Broken"});
  drivers[0]->connectSucceeds = false;
  form->cmdStart.Click();
  EXPECT_TRUE(form->tmrCapture.Enabled());
}

TEST_F(MainWindowTest, StartWhileRunningRebindsWithOneCaptureWindow) {
  open({"Cam A", "Cam B"});
  const int windows = user32::liveWindowCount();
  startLive();
  const HWND first = modWebCam::capWindow;
  form->elapsedSecs = 5;
  form->List1.SetListIndex(1);
  startLive();
  EXPECT_EQ(user32::liveWindowCount(), windows + 1);
  EXPECT_FALSE(user32::IsWindow(first));
  EXPECT_EQ(drivers[0]->disconnects, 1) << "the first camera must be released";
  EXPECT_TRUE(drivers[1]->connected);
  EXPECT_EQ(form->elapsedSecs, 5);
  EXPECT_TRUE(form->tmrCapture.Enabled());
}

TEST_F(MainWindowTest, StopReleasesTheSource) {
  open({"Cam A"});
  const int windows = user32::liveWindowCount();
  startLive();
  form->lblStatus.SetCaption("Time till next capture: 13 secs.");
  form->cmdStop.Click();
  EXPECT_FALSE(form->tmrCapture.Enabled());
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_EQ(user32::liveWindowCount(), windows);
  // Stop leaves the status line as it was.
  EXPECT_EQ(form->lblStatus.Caption(), "Time till next capture: 13 secs.");
}

TEST_F(MainWindowTest, ClosingTheWindowWhileRunningReleasesTheSource) {
  open({"Cam A"});
  startLive();
  const HWND bound = modWebCam::capWindow;
  form->Close();
  EXPECT_FALSE(drivers[0]->connected);
  EXPECT_FALSE(user32::IsWindow(bound));
  EXPECT_FALSE(form->widget()->isVisible());
}

}  // namespace
