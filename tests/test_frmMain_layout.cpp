// The main window as it opens: caption, size, controls and their order, the
// topmost placement, and what Load puts into the source list.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <vector>

#include "app/frmMain.h"
#include "platform/avicap32.h"
#include "platform/user32.h"

namespace {

QString textOf(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  return {};
}

struct Expected {
  const char* name;
  vb::Control& control;
  int left, top, width, height, tabIndex;
  const char* text;
};

std::vector<Expected> table(frmMain& form) {
  return {
      {"List1", form.List1, 30, 1470, 3465, 1230, 0, ""},
      {"Picture1", form.Picture1, 3600, 1440, 4800, 3600, 1, ""},
      {"Label1", form.Label1, 240, 1200, 2055, 255, 2, "Avalible sources:"},
      {"cmdStart", form.cmdStart, 360, 4680, 1215, 375, 3, "Start capturing"},
      {"cmdStop", form.cmdStop, 1920, 4680, 1215, 375, 4, "Stop capturing"},
      {"Label2", form.Label2, 120, 2880, 1575, 255, 5, "Capture frame every:"},
      {"txtTmr", form.txtTmr, 1680, 2880, 1215, 285, 6, "20"},
      {"Label3", form.Label3, 3000, 2880, 375, 255, 7, "sec."},
      {"lblStatus", form.lblStatus, 0, 3240, 3255, 255, 8, ""},
      {"Label4", form.Label4, 240, 3600, 3015, 975, 9,
       "This is my time lapse utility. Use it to capture frames from a video for windows compatible source. "
       "(webcams etc...) The still frames can be assembled to a video with various 3'rd party applications."},
  };
}

TEST(MainWindowLayout, CaptionSizeAndEveryControlInPlace) {
  avicap32::setDrivers({});
  frmMain form;
  form.Show();
  EXPECT_EQ(form.Caption(), "Ferrowick v 0.1");
  EXPECT_EQ(form.widget()->windowTitle(), "Ferrowick v 0.1");
  // The menu bar sits above the client area, which keeps its size.
  EXPECT_EQ(form.client()->size(), QSize(569, 348));
  EXPECT_EQ(form.client()->pos(), QPoint(0, form.widget()->height() - 348));
  EXPECT_GT(form.widget()->height(), 348);
  EXPECT_EQ(form.ScaleWidth(), 8535);
  EXPECT_EQ(form.ScaleHeight(), 5220);

  for (const Expected& e : table(form)) {
    SCOPED_TRACE(e.name);
    vb::Control& c = e.control;
    EXPECT_EQ((std::vector<int>{c.Left(), c.Top(), c.Width(), c.Height(), c.TabIndex()}),
              (std::vector<int>{e.left, e.top, e.width, e.height, e.tabIndex}));
    EXPECT_EQ(c.widget()->geometry(), QRect(e.left / 15, e.top / 15, e.width / 15, e.height / 15));
    EXPECT_TRUE(c.widget()->isVisible());
    EXPECT_EQ(textOf(c.widget()), QString(e.text));
  }
  EXPECT_TRUE(qobject_cast<QLabel*>(form.Label4.widget())->wordWrap());
  const QString appeal = qobject_cast<QLabel*>(form.Label5.widget())->text();
  EXPECT_TRUE(appeal.contains("example.org")) << appeal.toStdString();
  EXPECT_EQ(form.Label5.widget()->geometry(), QRect(16, 64, 409, 17));
  EXPECT_EQ(form.Label5.TabIndex(), 10);
  EXPECT_EQ(
      (std::vector<int>{form.Image1.Left(), form.Image1.Top(), form.Image1.Width(), form.Image1.Height()}),
      (std::vector<int>{2280, 3720, 435, 315}));
  EXPECT_EQ(form.Picture1.ScaleWidth(), 320.0f);
  EXPECT_EQ(form.Picture1.ScaleHeight(), 240.0f);
  EXPECT_FALSE(form.tmrCapture.Enabled());
  EXPECT_EQ(form.tmrCapture.Interval(), 1000);
  EXPECT_FALSE(form.Image1.Picture());
  form.Close();
}

TEST(MainWindowLayout, TabKeyVisitsControlsInTabIndexOrder) {
  avicap32::setDrivers({});
  frmMain form;
  form.Show();
  // The focus-taking controls, in the order the table gives them.
  const std::vector<QWidget*> expected = {form.List1.widget(), form.cmdStart.widget(), form.cmdStop.widget(),
                                          form.txtTmr.widget()};
  std::vector<QWidget*> visited;
  QWidget* w = form.List1.widget();
  for (int i = 0; i < 64 && visited.size() < expected.size(); ++i, w = w->nextInFocusChain()) {
    if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
        std::find(visited.begin(), visited.end(), w) == visited.end())
      visited.push_back(w);
  }
  EXPECT_EQ(visited, expected);
  form.Close();
}

TEST(MainWindowLayout, WhiteBackgroundWithTheBannerAtTheTopLeft) {
  avicap32::setDrivers({});
  frmMain form;
  form.Show();
  const QImage shot = form.client()->grab().toImage();
  const QImage banner(":/banner.jpg");
  ASSERT_EQ(banner.size(), QSize(487, 94));
  // A point inside the banner's coloured band, clear of every control, and
  // one below the banner on the white background.
  EXPECT_EQ(shot.pixelColor(300, 30), banner.pixelColor(300, 30));
  EXPECT_EQ(shot.pixelColor(540, 20), QColor(Qt::white));
  EXPECT_EQ(shot.pixelColor(5, 330), QColor(Qt::white));
  const QImage icon = form.widget()->windowIcon().pixmap(32, 32).toImage();
  EXPECT_EQ(icon.size(), QSize(32, 32));
  form.Close();
}

TEST(MainWindowLayout, LoadPutsTheWindowOnTopWithAnEmptyListWhenThereIsNoSource) {
  avicap32::setDrivers({});
  frmMain form;
  form.elapsedSecs = 7;
  form.Show();
  EXPECT_TRUE(form.widget()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(form.elapsedSecs, 0);
  EXPECT_EQ(form.List1.ListCount(), 0);
  EXPECT_EQ(form.List1.ListIndex(), -1);
  form.Close();
}

}  // namespace
