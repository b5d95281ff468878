#include "schedule/activehoursdialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <array>

#include "platform/user32.h"
#include "platform/vba.h"

namespace schedule {
namespace {

using Mode = ActiveHours::Mode;

QTime timeOf(int minutes) { return QTime(minutes / 60, minutes % 60); }
int minutesOf(const QTime& t) { return t.hour() * 60 + t.minute(); }
QString hhmm(Instant t) { return QString::fromStdString(vba::Format(localTime(t), "hh:nn")); }

class Dialog : public QDialog {
 public:
  Dialog(QWidget* parent, const ActiveHours& hours) : QDialog(parent) {
    setWindowTitle("Active hours");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Capture frames:"));

    always_ = new QRadioButton("&Always");
    between_ = new QRadioButton("&Between");
    daylight_ = new QRadioButton("From &sunrise to sunset");
    auto* modes = new QButtonGroup(this);
    for (QRadioButton* b : {always_, between_, daylight_}) modes->addButton(b);

    layout->addWidget(always_);

    auto* betweenRow = new QHBoxLayout;
    from_ = new QTimeEdit(timeOf(hours.from));
    to_ = new QTimeEdit(timeOf(hours.to));
    for (QTimeEdit* e : {from_, to_}) e->setDisplayFormat("HH:mm");
    betweenRow->addWidget(between_);
    betweenRow->addWidget(from_);
    betweenRow->addWidget(new QLabel("and"));
    betweenRow->addWidget(to_);
    betweenRow->addStretch();
    layout->addLayout(betweenRow);

    auto* daysRow = new QHBoxLayout;
    daysRow->addSpacing(24);
    daysRow->addWidget(new QLabel("on"));
    static const char* const names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int i = 0; i < 7; ++i) {
      days_[i] = new QCheckBox(names[i]);
      days_[i]->setChecked(((hours.weekdays >> i) & 1U) != 0);
      daysRow->addWidget(days_[i]);
    }
    daysRow->addStretch();
    layout->addLayout(daysRow);

    layout->addWidget(daylight_);
    auto* place = new QGridLayout;
    place->setColumnMinimumWidth(0, 24);
    latitude_ = spin(-90, 90, hours.latitude, "°");
    longitude_ = spin(-180, 180, hours.longitude, "°");
    before_ = minutes(hours.minutesBeforeSunrise);
    after_ = minutes(hours.minutesAfterSunset);
    place->addWidget(new QLabel("Latitude"), 0, 1);
    place->addWidget(latitude_, 0, 2);
    place->addWidget(new QLabel("Longitude"), 0, 3);
    place->addWidget(longitude_, 0, 4);
    hint_ = new QLabel("Degrees north and east; south and west are negative.");
    place->addWidget(hint_, 1, 1, 1, 4);
    place->addWidget(new QLabel("Start"), 2, 1);
    place->addWidget(before_, 2, 2);
    place->addWidget(new QLabel("before sunrise"), 2, 3);
    place->addWidget(new QLabel("Stop"), 3, 1);
    place->addWidget(after_, 3, 2);
    place->addWidget(new QLabel("after sunset"), 3, 3);
    sun_ = new QLabel;
    place->addWidget(sun_, 4, 1, 1, 4);
    layout->addLayout(place);

    now_ = new QLabel;
    now_->setWordWrap(true);
    layout->addSpacing(6);
    layout->addWidget(now_);

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons_);

    (hours.mode == Mode::Between    ? between_
     : hours.mode == Mode::Daylight ? daylight_
                                    : always_)
        ->setChecked(true);
    for (QRadioButton* b : {always_, between_, daylight_})
      connect(b, &QRadioButton::toggled, this, [this] { refresh(); });
    for (QTimeEdit* e : {from_, to_}) connect(e, &QTimeEdit::timeChanged, this, [this] { refresh(); });
    for (QCheckBox* c : days_) connect(c, &QCheckBox::toggled, this, [this] { refresh(); });
    for (QDoubleSpinBox* s : {latitude_, longitude_})
      connect(s, &QDoubleSpinBox::valueChanged, this, [this] { refresh(); });
    for (QSpinBox* s : {before_, after_}) connect(s, &QSpinBox::valueChanged, this, [this] { refresh(); });
    refresh();
  }

  ActiveHours hours() const {
    ActiveHours h;
    h.mode = between_->isChecked() ? Mode::Between : daylight_->isChecked() ? Mode::Daylight : Mode::Always;
    h.from = minutesOf(from_->time());
    h.to = minutesOf(to_->time());
    h.weekdays = 0;
    for (int i = 0; i < 7; ++i) h.weekdays |= days_[i]->isChecked() ? 1U << i : 0U;
    h.latitude = latitude_->value();
    h.longitude = longitude_->value();
    h.minutesBeforeSunrise = before_->value();
    h.minutesAfterSunset = after_->value();
    return h;
  }

 private:
  static QDoubleSpinBox* spin(double min, double max, double value, const char* suffix) {
    auto* s = new QDoubleSpinBox;
    s->setRange(min, max);
    s->setDecimals(4);
    s->setSuffix(suffix);
    s->setValue(value);
    return s;
  }
  static QSpinBox* minutes(int value) {
    auto* s = new QSpinBox;
    s->setRange(-180, 180);
    s->setSuffix(" min");
    s->setValue(value);
    return s;
  }

  // The parts of the mode not chosen are greyed; the lines below say what
  // the choice means today and now.
  void refresh() {
    const ActiveHours h = hours();
    for (QWidget* w : std::initializer_list<QWidget*>{from_, to_}) w->setEnabled(h.mode == Mode::Between);
    for (QCheckBox* c : days_) c->setEnabled(h.mode == Mode::Between);
    for (QWidget* w : std::initializer_list<QWidget*>{latitude_, longitude_, hint_, before_, after_, sun_})
      w->setEnabled(h.mode == Mode::Daylight);
    const vba::DateTime today = vba::Now();
    const SunEvents sun = sunOn(today.year, today.month, today.day, h.latitude, h.longitude);
    switch (sun.kind) {
      case SunEvents::Kind::PolarDay:
        sun_->setText("Today there the sun does not set.");
        break;
      case SunEvents::Kind::PolarNight:
        sun_->setText("Today there the sun does not rise.");
        break;
      case SunEvents::Kind::Normal:
        sun_->setText("Today there: sunrise " + hhmm(sun.sunrise) + ", sunset " + hhmm(sun.sunset) + ".");
        break;
    }
    const bool noDay = h.mode == Mode::Between && h.weekdays == 0;
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(!noDay);
    const Instant now = instantOf(today);
    if (noDay) {
      now_->setText("Choose at least one day.");
    } else if (captureNow(h, now)) {
      now_->setText("Frames are taken now.");
    } else if (const std::optional<Instant> opening = nextOpening(h, now)) {
      now_->setText(
          QString::fromStdString("No frames now: capturing resumes " + openingText(*opening, now) + "."));
    } else {
      now_->setText("No frames now, nor within a year.");
    }
  }

  QRadioButton* always_;
  QRadioButton* between_;
  QRadioButton* daylight_;
  QTimeEdit* from_;
  QTimeEdit* to_;
  std::array<QCheckBox*, 7> days_{};
  QDoubleSpinBox* latitude_;
  QDoubleSpinBox* longitude_;
  QSpinBox* before_;
  QSpinBox* after_;
  QLabel* hint_;
  QLabel* sun_;
  QLabel* now_;
  QDialogButtonBox* buttons_;
};

}  // namespace

bool editActiveHours(HWND owner, ActiveHours& hours) {
  user32::Window* window = owner ? user32::fromHandle(owner) : nullptr;
  Dialog dialog(window ? window->widget() : nullptr, hours);
  if (dialog.exec() != QDialog::Accepted) return false;
  hours = dialog.hours();
  return true;
}

}  // namespace schedule
