// The runtime functions the program relies on: text conversions, the
// application folder, date and time formatting and the message box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <clocale>
#include <cmath>
#include <limits>
#include <optional>

#include "platform/vba.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::errorOf;

// Every conversion test runs under a known locale.
class Conversions : public ::testing::Test {
 protected:
  testsupport::ScopedLocale locale_{testsupport::englishLocale()};
};

TEST_F(Conversions, CDblReadsNumbersAndRejectsTheRest) {
  struct Case {
    const char* text;
    double value;
    int error;  // 0: no error
  };
  const Case cases[] = {
      {"20", 20, 0},          {"  2.5  ", 2.5, 0}, {"-5", -5, 0},   {"0", 0, 0},      {"1e3", 1000, 0},
      {"1,234.5", 1234.5, 0}, {"", 0, 13},         {"   ", 0, 13},  {"abc", 0, 13},   {"2.5x", 0, 13},
      {"inf", 0, 13},         {"nan", 0, 13},      {"1e400", 0, 6}, {"-1e400", 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.error) {
      EXPECT_EQ(errorOf([&] { vba::CDbl(c.text); }), c.error);
    } else {
      EXPECT_DOUBLE_EQ(vba::CDbl(c.text), c.value);
    }
  }
}

TEST_F(Conversions, CIntRoundsHalvesToEvenWithinSixteenBits) {
  struct Case {
    double value;
    int16_t result;
    int error;
  };
  const Case cases[] = {
      {2.5, 2, 0},           {3.5, 4, 0},     {-2.5, -2, 0},    {-3.5, -4, 0}, {0.5, 0, 0},
      {1.5, 2, 0},           {2.4, 2, 0},     {2.6, 3, 0},      {-0.4, 0, 0},  {32767.4, 32767, 0},
      {-32768.5, -32768, 0}, {32767.5, 0, 6}, {-32768.6, 0, 6}, {1e10, 0, 6},  {std::nan(""), 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    if (c.error) {
      EXPECT_EQ(errorOf([&] { vba::CInt(c.value); }), c.error);
    } else {
      EXPECT_EQ(vba::CInt(c.value), c.result);
    }
  }
}

TEST_F(Conversions, CIntOfTextConvertsThroughDouble) {
  struct Case {
    const char* text;
    int16_t result;
    int error;
  };
  const Case cases[] = {
      {"20", 20, 0}, {" 2.5", 2, 0}, {"3.5 ", 4, 0},  {"-5", -5, 0},
      {"", 0, 13},   {"x", 0, 13},   {"40000", 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.error) {
      EXPECT_EQ(errorOf([&] { vba::CInt(c.text); }), c.error);
    } else {
      EXPECT_EQ(vba::CInt(c.text), c.result);
    }
  }
}

TEST_F(Conversions, CStrWritesAtMostFifteenSignificantDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.1 + 0.2, "0.3"},
      {19, "19"},
      {-1, "-1"},
      {0, "0"},
      {-0.0, "0"},
      {1.5, "1.5"},
      {-0.5, "-0.5"},
      {-21, "-21"},
      {1234.5, "1234.5"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {123456789012345, "123456789012345"},
      {1234567890123456, "1.23456789012346E+15"},
      {1e20, "1E+20"},
      {-2.5e-20, "-2.5E-20"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(vba::CStr(c.value), c.text);
  }
  EXPECT_EQ(vba::CStr(int32_t{0}), "0");
  EXPECT_EQ(vba::CStr(int32_t{-32768}), "-32768");
  EXPECT_EQ(vba::CStr(std::numeric_limits<int32_t>::max()), "2147483647");
  EXPECT_EQ(vba::CStr(std::numeric_limits<int32_t>::min()), "-2147483648");
}

TEST_F(Conversions, GermanDecimalCommaBothWays) {
  const testsupport::ScopedLocale german(testsupport::germanLocale());
  EXPECT_DOUBLE_EQ(vba::CDbl("2,5"), 2.5);
  EXPECT_DOUBLE_EQ(vba::CDbl(" -0,5 "), -0.5);
  EXPECT_EQ(vba::CInt("2,5"), 2);
  EXPECT_EQ(vba::CInt("3,5"), 4);
  EXPECT_EQ(vba::CStr(2.5), "2,5");
  EXPECT_EQ(vba::CStr(-1.5), "-1,5");
  EXPECT_EQ(vba::CStr(1234.5), "1234,5");
  EXPECT_EQ(vba::CStr(19.0), "19");
  EXPECT_EQ(vba::CStr(-2.5e-20), "-2,5E-20");
}

// The C library's own locale (set from LANG at start-up) has no say: only the
// separator Qt reports for the user's locale is read and written.
TEST_F(Conversions, TheCLibrarysLocaleIsIgnored) {
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not generated";
  const std::string shown = vba::CStr(1.5);
  const double read = vba::CDbl("2.5");
  std::setlocale(LC_NUMERIC, before.c_str());
  EXPECT_EQ(shown, "1.5");
  EXPECT_DOUBLE_EQ(read, 2.5);
}

TEST(Text, Trim) {
  EXPECT_EQ(vba::Trim("  a b  "), "a b");
  EXPECT_EQ(vba::Trim("\ta \t"), "\ta \t") << "only spaces are trimmed";
  EXPECT_EQ(vba::Trim("    "), "");
  EXPECT_EQ(vba::Trim(""), "");
}

TEST(AppPath, NeverEndsInASeparatorExceptAtTheRoot) {
  struct Case {
    const char* seam;
    const char* result;
  };
  const Case cases[] = {
      {"/opt/tools", "/opt/tools"}, {"/opt/tools/", "/opt/tools"}, {"/opt//", "/opt"}, {"/", "/"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seam);
    vba::setAppPath(c.seam);
    EXPECT_EQ(vba::AppPath(), c.result);
  }
  vba::setAppPath("");
  EXPECT_EQ(vba::AppPath(), QCoreApplication::applicationDirPath().toStdString());
}

class DateAndTime : public ::testing::Test {
 protected:
  void setClock(vba::DateTime now) {
    vba::setClock([now] { return now; });
  }
  void TearDown() override { vba::setClock(nullptr); }
};

TEST_F(DateAndTime, DateAndTimeSplitOneReading) {
  setClock({2007, 3, 5, 8, 4, 9});
  EXPECT_EQ(vba::Now(), (vba::DateTime{2007, 3, 5, 8, 4, 9}));
  EXPECT_EQ(vba::Date(), (vba::DateTime{2007, 3, 5, 0, 0, 0}));
  EXPECT_EQ(vba::Time(), (vba::DateTime{1899, 12, 30, 8, 4, 9}));
}

TEST_F(DateAndTime, FormatPatterns) {
  struct Case {
    vba::DateTime value;
    const char* pattern;
    const char* text;
  };
  const Case cases[] = {
      {{2007, 3, 5, 8, 4, 9}, "d/m/yy h:n:s", "5/3/07 8:4:9"},
      {{2007, 3, 5, 8, 4, 9}, "hh:mm", "08:04"},
      {{2007, 3, 5, 8, 4, 9}, "mm/dd hh", "03/05 08"},
      {{2007, 11, 25, 17, 30, 0}, "yyyy-MM-dd HH:MM", "2007-11-25 17:30"},
      {{2007, 3, 5, 8, 4, 9}, "[nn:ss] x", "[04:09] x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(vba::Format(c.value, c.pattern), c.text);
  }
}

TEST(MsgBox, WithoutTheSeamAModalBoxWithOneOkButtonAndNoIcon) {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::Warning;
  int buttons = 0;
  bool wasModal = false;
  // Reads the box while it is up, then presses its OK button.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    poll.stop();
    wasModal = box->isModal();
    text = box->text();
    title = box->windowTitle();
    icon = box->icon();
    buttons = static_cast<int>(box->buttons().size());
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(10);
  EXPECT_EQ(vba::MsgBox("Captured frames will be saved in /a <b>/captured/", vba::vbOKOnly, ""), vba::vbOK);
  EXPECT_TRUE(wasModal);
  EXPECT_EQ(text, "Captured frames will be saved in /a <b>/captured/");
  EXPECT_EQ(title, "");
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(buttons, 1);
}

}  // namespace
