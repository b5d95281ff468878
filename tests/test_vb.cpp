// The form, its controls, the timer and event dispatch, on the offscreen
// platform.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFontMetrics>
#include <QImage>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/user32.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::waitFor;

// A form that counts the events it receives.
class CountingForm : public vb::Form {
 public:
  CountingForm() : vb::Form("Test form", 8535, 5220) {}
  int loads = 0;
  int terminates = 0;
  bool unloadInTerminate = false;

 protected:
  void Form_Load() override { ++loads; }
  void Form_Terminate() override {
    ++terminates;
    if (unloadInTerminate) Unload();
  }
};

TEST(Form, ClientSizeAndControlGeometryInPixels) {
  CountingForm form;
  vb::ListBox list{form, 30, 1470, 3465, 1230, 0};
  vb::PictureBox picture{form, 3600, 1440, 4800, 3600, 1};
  vb::Label label{form, 240, 1200, 2055, 255, 2, "Avalible sources:"};
  vb::CommandButton button{form, 360, 4680, 1215, 375, 3, "Start capturing"};
  vb::TextBox text{form, 1680, 2880, 1215, 285, 6, "20"};
  vb::Image image{form, 2280, 3720, 435, 315};
  form.Show();

  EXPECT_EQ(form.widget()->size(), QSize(569, 348)) << "without a menu the window is its client area";
  EXPECT_EQ(form.client()->size(), QSize(569, 348));
  EXPECT_EQ(form.ScaleWidth(), 8535);
  EXPECT_EQ(form.ScaleHeight(), 5220);
  struct Case {
    const vb::Control& control;
    QRect pixels;
  };
  const Case cases[] = {
      {list, {2, 98, 231, 82}},    {picture, {240, 96, 320, 240}}, {label, {16, 80, 137, 17}},
      {button, {24, 312, 81, 25}}, {text, {112, 192, 81, 19}},     {image, {152, 248, 29, 21}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control.Left());
    EXPECT_EQ(c.control.widget()->geometry(), c.pixels);
    EXPECT_EQ(c.control.widget()->parentWidget(), form.client());
    ASSERT_NE(c.control.hWnd(), nullptr);
    EXPECT_EQ(user32::fromHandle(c.control.hWnd())->widget(), c.control.widget());
  }
  EXPECT_EQ(user32::fromHandle(form.hWnd())->widget(), form.widget());
  EXPECT_FLOAT_EQ(picture.ScaleWidth(), 320.0f);
  EXPECT_FLOAT_EQ(picture.ScaleHeight(), 240.0f);
  EXPECT_FALSE(image.widget()->isVisible()) << "an image only holds its picture";
  EXPECT_TRUE(list.widget()->isVisible());
  EXPECT_EQ(form.widget()->windowTitle(), "Test form");
}

TEST(Form, MenusSitAboveTheClientAreaAndDeliverClicks) {
  CountingForm form;
  vb::Label label{form, 240, 1200, 2055, 255, 0, "L"};
  vb::Menu file{form, "&File"};
  vb::Menu size{file, "Frame &size"};
  vb::Menu bar{file, "-"};
  vb::Menu quit{file, "&Quit"};
  vb::Menu full{size, "&Full"};  // gives "Frame size" items: a submenu in its place
  form.Show();

  auto* menuBar = form.widget()->findChild<QMenuBar*>();
  ASSERT_NE(menuBar, nullptr);
  EXPECT_EQ(form.client()->geometry(), QRect(0, menuBar->height(), 569, 348));
  EXPECT_EQ(label.widget()->geometry(), QRect(16, 80, 137, 17)) << "controls keep their place";
  EXPECT_EQ(QKeySequence::mnemonic(file.action()->text()), QKeySequence(Qt::ALT | Qt::Key_F));
  QMenu* items = file.action()->menu();
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->actions().size(), 3);
  EXPECT_EQ(items->actions()[0]->menu(), full.action()->parent()) << "an item with items opens them";
  EXPECT_TRUE(items->actions()[1]->isSeparator());

  int clicks = 0;
  full.OnClick = [&] {
    ++clicks;
    full.SetChecked(!full.Checked());
  };
  full.Click();
  full.action()->trigger();
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(full.Checked());
  EXPECT_FALSE(full.action()->isChecked()) << "the mark is the handler's, never flipped by the click";
  quit.SetEnabled(false);
  quit.OnClick = [&] { ++clicks; };
  quit.Click();
  EXPECT_EQ(clicks, 2) << "a disabled item takes no click";

  // The menu bar is in the accessibility tree, its entries by name.
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(menuBar);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->childCount(), 1);
  EXPECT_EQ(a->child(0)->text(QAccessible::Name), "File");
}

TEST(Form, PaintsBackColourAndUnscaledPictureBehindTransparentLabels) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QImage red(4, 3, QImage::Format_RGB32);
  red.fill(Qt::red);
  const QString path = dir.path() + "/banner.png";
  ASSERT_TRUE(red.save(path));

  CountingForm form;
  form.SetBackColor(0x00FF0000);  // blue, as 0x00BBGGRR
  form.SetPicture(path.toStdString());
  vb::Label label{form, 600, 600, 1500, 255, 0, ""};
  const QImage shot = form.client()->grab().toImage();
  struct Case {
    QPoint at;
    QColor colour;
  };
  const Case cases[] = {
      {{0, 0}, Qt::red}, {{3, 2}, Qt::red}, {{4, 0}, Qt::blue}, {{0, 3}, Qt::blue}, {{45, 45}, Qt::blue}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at.x() * 100 + c.at.y());
    EXPECT_EQ(shot.pixelColor(c.at).rgb(), c.colour.rgb());
  }
}

TEST(Form, FocusChainFollowsTabIndex) {
  CountingForm form;
  // Created in an order that is no rotation of their tab order.
  vb::ListBox list{form, 0, 2000, 1200, 1200, 1};
  vb::Label label{form, 0, 500, 1200, 255, 4, "L"};
  vb::TextBox text{form, 0, 1000, 1200, 285, 0, "T"};
  vb::CommandButton stop{form, 1300, 0, 1200, 375, 3, "Stop"};
  vb::Image image{form, 0, 1500, 300, 300};
  vb::CommandButton start{form, 0, 0, 1200, 375, 2, "Start"};
  form.Show();

  // The chain is a ring; Tab moves along it from the focused control.
  std::vector<QWidget*> ring{text.widget()};
  for (QWidget* w = text.widget()->nextInFocusChain(); w != text.widget(); w = w->nextInFocusChain()) {
    if (w->parentWidget() == form.client() && w->focusPolicy() != Qt::NoFocus) ring.push_back(w);
  }
  EXPECT_EQ(ring, (std::vector<QWidget*>{text.widget(), list.widget(), start.widget(), stop.widget()}));
  EXPECT_EQ(form.widget()->focusWidget(), text.widget()) << "the lowest tab index starts with the focus";
}

TEST(Form, EveryCaptionFitsItsBox) {
  CountingForm form;
  const char* const description =
      "This is my time lapse utility. Use it to capture frames from a video for windows compatible source. "
      "(webcams etc...) The still frames can be assembled to a video with various 3'rd party applications.";
  vb::Label label1{form, 240, 1200, 2055, 255, 2, "Avalible sources:"};
  vb::Label label2{form, 120, 2880, 1575, 255, 5, "Capture frame every:"};
  vb::Label label3{form, 3000, 2880, 375, 255, 7, "sec."};
  vb::Label status{form, 0, 3240, 3255, 255, 8, ""};
  vb::Label label4{form, 240, 3600, 3015, 975, 9, description, true};
  vb::CommandButton start{form, 360, 4680, 1215, 375, 3, "Start capturing"};
  vb::CommandButton stop{form, 1920, 4680, 1215, 375, 4, "Stop capturing"};
  status.SetCaption("Time till next capture: -32767.5 secs.");

  struct Case {
    const vb::Control& control;
    std::string text;
    bool wrap;
  };
  const Case cases[] = {
      {label1, label1.Caption(), false}, {label2, label2.Caption(), false}, {label3, label3.Caption(), false},
      {status, status.Caption(), false}, {label4, label4.Caption(), true},  {start, start.Caption(), false},
      {stop, stop.Caption(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const QWidget* w = c.control.widget();
    const QFontMetrics fm(w->font());
    const QRect need =
        c.wrap ? fm.boundingRect(QRect(QPoint(), w->size()), Qt::TextWordWrap, QString::fromStdString(c.text))
               : QRect(0, 0, fm.horizontalAdvance(QString::fromStdString(c.text)), fm.height());
    EXPECT_LE(need.width(), w->width());
    EXPECT_LE(need.height(), w->height());
    EXPECT_GE(w->font().pixelSize(), 7) << "still legible";
  }
  // A caption that fits again gets the form's size back.
  status.SetCaption("Time till next capture: 19 secs.");
  EXPECT_EQ(status.widget()->font().pixelSize(), form.widget()->font().pixelSize());
}

TEST(Form, LoadIsDeliveredOnceAndShowLoadsFirst) {
  CountingForm form;
  EXPECT_FALSE(form.Loaded());
  form.Show();
  form.Load();
  form.Show();
  EXPECT_EQ(form.loads, 1);
  EXPECT_TRUE(form.Loaded());
  EXPECT_TRUE(form.widget()->isVisible());
}

TEST(Form, CloseDeliversTerminateOnceAndTheWindowGoesEitherWay) {
  for (const bool unloads : {false, true}) {
    SCOPED_TRACE(unloads);
    CountingForm form;
    form.unloadInTerminate = unloads;
    vb::Timer timer{form, 1000};
    form.Show();
    timer.SetEnabled(true);
    form.Close();
    form.Close();
    form.Unload();
    EXPECT_EQ(form.terminates, 1);
    EXPECT_FALSE(form.widget()->isVisible());
    EXPECT_FALSE(form.Loaded());
    EXPECT_FALSE(timer.Enabled()) << "an unloaded form's timer stops";
  }
}

TEST(Form, UnloadHidesWithoutTerminateWhichComesWithTheEnd) {
  CountingForm form;
  form.Show();
  form.Unload();
  form.Unload();
  EXPECT_FALSE(form.widget()->isVisible());
  EXPECT_FALSE(form.Loaded());
  EXPECT_EQ(form.terminates, 0);
  form.Close();  // the window object ends, as at the end of a run
  EXPECT_EQ(form.terminates, 1);
}

TEST(Form, ControlsAndFormLeaveTheWindowTableInEitherDestructionOrder) {
  const int before = user32::liveWindowCount();
  {
    auto form = std::make_unique<CountingForm>();
    auto label = std::make_unique<vb::Label>(*form, 0, 0, 600, 255, 0, "x");
    auto list = std::make_unique<vb::ListBox>(*form, 0, 300, 600, 600, 1);
    EXPECT_EQ(user32::liveWindowCount(), before + 3);
    list.reset();  // the control first
    EXPECT_EQ(user32::liveWindowCount(), before + 2);
    form.reset();  // then the form, before the label
    EXPECT_EQ(label->widget(), nullptr);
    EXPECT_EQ(user32::liveWindowCount(), before);
  }
  EXPECT_EQ(user32::liveWindowCount(), before);
}

TEST(ListBox, SelectingMakesTheEntryCurrent) {
  CountingForm form;
  vb::ListBox list{form, 0, 0, 1500, 1500, 0};
  auto* w = static_cast<QListWidget*>(list.widget());
  EXPECT_EQ(list.ListIndex(), -1);
  for (const char* item : {"Camera A", "Camera B", "Test pattern"}) list.AddItem(item);
  EXPECT_EQ(list.ListCount(), 3);
  EXPECT_EQ(list.List(2), "Test pattern");
  EXPECT_EQ(list.ListIndex(), -1);

  list.SetListIndex(1);
  EXPECT_EQ(list.ListIndex(), 1);
  ASSERT_EQ(w->selectedItems().size(), 1);
  EXPECT_EQ(w->selectedItems()[0]->text(), "Camera B");
  list.SetListIndex(2);
  EXPECT_EQ(w->selectedItems().size(), 1) << "one entry at a time";
  list.SetListIndex(-1);
  EXPECT_EQ(list.ListIndex(), -1);
  EXPECT_TRUE(w->selectedItems().isEmpty());

  for (int bad : {3, -2}) {
    try {
      list.SetListIndex(bad);
      ADD_FAILURE() << bad << " accepted";
    } catch (const vba::RuntimeError& e) {
      EXPECT_EQ(e.Number(), 380);
    }
  }
  list.SetListIndex(0);
  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_EQ(list.ListIndex(), -1);
}

TEST(Dispatch, ReportsAndSwallowsErrorsLeavingAHandler) {
  struct Case {
    std::function<void()> handler;
    std::vector<std::string> reported;
  };
  const Case cases[] = {
      {[] { throw vba::RuntimeError(13, "Type mismatch"); }, {"Form_Load", "13", "Type mismatch"}},
      {[] { throw std::out_of_range("no such entry"); }, {"Form_Load", "no such entry"}},
      {[] { throw 42; }, {"Form_Load"}},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(vb::dispatch("Form_Load", c.handler));
    const std::string err = testing::internal::GetCapturedStderr();
    for (const std::string& part : c.reported) EXPECT_NE(err.find(part), std::string::npos) << err;
  }
}

TEST(Dispatch, AButtonKeepsWorkingAfterItsHandlerFailed) {
  CountingForm form;
  vb::CommandButton button{form, 0, 0, 1215, 375, 0, "Start capturing"};
  int clicks = 0;
  button.OnClick = [&] {
    ++clicks;
    throw vba::RuntimeError(6, "Overflow");
  };
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(button.Click());
  EXPECT_NO_THROW(button.Click());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(clicks, 2);
  EXPECT_NE(err.find("Overflow"), std::string::npos);
}

TEST(Timer, TicksThroughDispatchWhileEnabled) {
  CountingForm form;
  vb::Timer timer{form, 10};
  EXPECT_EQ(timer.Interval(), 10);
  EXPECT_FALSE(timer.Enabled());
  int ticks = 0;
  timer.OnTimer = [&] {
    ++ticks;
    throw vba::RuntimeError(13, "Type mismatch");  // a failing tick does not stop the timer
  };
  testing::internal::CaptureStderr();
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.Enabled());
  const bool ticked = waitFor([&] { return ticks >= 2; }, 10000);
  timer.SetEnabled(false);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ticked);
  EXPECT_FALSE(timer.Enabled());
}

TEST(Timer, EnablingAnEnabledTimerDoesNotRestartIt) {
  CountingForm form;
  vb::Timer timer{form, 100};
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  timer.SetEnabled(true);
  // Re-enabled far more often than it ticks: a restart on each would keep the
  // tick from ever coming.
  QTimer nag;
  nag.setTimerType(Qt::PreciseTimer);
  QObject::connect(&nag, &QTimer::timeout, [&] { timer.SetEnabled(true); });
  nag.start(5);
  EXPECT_TRUE(waitFor([&] { return ticks >= 1; }, 10000));
}

// A UI thread held up past several ticks: every tick that fell due is still
// delivered, so the count keeps to real time.
TEST(Timer, TicksHeldUpByABusyThreadAreDeliveredLate) {
  CountingForm form;
  vb::Timer timer{form, 100};
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  timer.SetEnabled(true);
  QThread::msleep(450);               // busy: four ticks fall due meanwhile
  QCoreApplication::processEvents();  // one timer event delivers them all
  EXPECT_GE(ticks, 4);
  // A handler that stops the timer stops the late ones too.
  timer.OnTimer = [&] {
    ++ticks;
    timer.SetEnabled(false);
  };
  ticks = 0;
  QThread::msleep(450);
  waitFor([] { return false; }, 150);
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(timer.Enabled());
}

}  // namespace
