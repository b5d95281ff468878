#include "camera/camerasettingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <map>

#include "platform/user32.h"
#include "platform/vba.h"

namespace camera {
namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

class Dialog : public QDialog {
 public:
  Dialog(QWidget* parent, const std::string& name, const std::string& device)
      : QDialog(parent), device_(device) {
    setWindowTitle("Camera settings: " + text(name));
    auto* layout = new QVBoxLayout(this);
    const Listing listing = device.empty() ? Listing{} : listControls(device);
    if (listing.controls.empty()) {
      layout->addWidget(new QLabel(listing.error.empty()
                                       ? "This camera offers no controls the program can reach."
                                       : text(listing.error)));
    } else {
      auto* grid = new QGridLayout;
      int row = 0;
      for (const Control& c : listing.controls) addRow(grid, row++, c);
      layout->addLayout(grid);
    }
    problem_ = new QLabel;
    problem_->setWordWrap(true);
    layout->addWidget(problem_);

    const settings::CameraOptions options = settings::cameraOptions();
    hold_ = new QCheckBox("&Hold the picture steady during a run");
    hold_->setObjectName("hold");
    hold_->setToolTip(
        "At Start, automatic exposure, white balance and focus are switched off, keeping "
        "the values the camera has settled on.");
    even_ = new QCheckBox("&Even the exposure through dawn and dusk");
    even_->setToolTip(
        "Between frames, exposure and then gain move in small steps toward the brightness "
        "at Start.");
    hold_->setChecked(options.hold);
    even_->setChecked(options.evenExposure);
    even_->setEnabled(options.hold);
    connect(hold_, &QCheckBox::toggled, even_, &QWidget::setEnabled);
    layout->addWidget(hold_);
    layout->addWidget(even_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    for (const auto& [id, row] : rows_) enableFor(row.control);
  }

  CameraChoices choices() const {
    return {changed_, {hold_->isChecked(), hold_->isChecked() && even_->isChecked()}};
  }

 private:
  struct Row {
    Control control;
    std::function<void(int64_t)> show;  // shows a value without writing it
    QList<QWidget*> widgets;
  };

  void addRow(QGridLayout* grid, int row, const Control& c) {
    Row r{c, {}, {}};
    auto* label = new QLabel(text(c.label));
    label->setToolTip(text(c.name));
    grid->addWidget(label, row, 0);
    QString defaultText = QString::number(c.defaultValue);
    switch (c.type) {
      case Type::Integer: {
        auto* slider = new QSlider(Qt::Horizontal);
        auto* spin = new QSpinBox;
        slider->setRange(static_cast<int>(c.minimum), static_cast<int>(c.maximum));
        slider->setSingleStep(static_cast<int>(c.step));
        spin->setRange(static_cast<int>(c.minimum), static_cast<int>(c.maximum));
        spin->setSingleStep(static_cast<int>(c.step));
        slider->setMinimumWidth(200);
        r.show = [slider, spin](int64_t v) {
          const QSignalBlocker a(slider), b(spin);
          slider->setValue(static_cast<int>(v));
          spin->setValue(static_cast<int>(v));
        };
        // The slider writes as it moves, so the preview follows it.
        connect(slider, &QSlider::valueChanged, this, [this, id = c.id, spin](int v) {
          const QSignalBlocker b(spin);
          spin->setValue(v);
          write(id, v);
        });
        connect(spin, &QSpinBox::valueChanged, this, [this, id = c.id](int v) { write(id, v); });
        grid->addWidget(slider, row, 1);
        grid->addWidget(spin, row, 2);
        r.widgets = {slider, spin};
        break;
      }
      case Type::Boolean: {
        auto* tick = new QCheckBox;
        r.show = [tick](int64_t v) {
          const QSignalBlocker b(tick);
          tick->setChecked(v != 0);
        };
        connect(tick, &QCheckBox::toggled, this, [this, id = c.id](bool on) { write(id, on ? 1 : 0); });
        grid->addWidget(tick, row, 1);
        r.widgets = {tick};
        defaultText = c.defaultValue ? "on" : "off";
        break;
      }
      case Type::Menu: {
        auto* list = new QComboBox;
        for (const MenuEntry& e : c.menu) {
          list->addItem(text(e.name), QVariant::fromValue<qlonglong>(e.value));
          if (e.value == c.defaultValue) defaultText = text(e.name);
        }
        r.show = [list](int64_t v) {
          const QSignalBlocker b(list);
          list->setCurrentIndex(list->findData(QVariant::fromValue<qlonglong>(v)));
        };
        connect(list, &QComboBox::activated, this,
                [this, id = c.id, list](int i) { write(id, list->itemData(i).toLongLong()); });
        grid->addWidget(list, row, 1);
        r.widgets = {list};
        break;
      }
    }
    auto* reset = new QPushButton("Default (" + defaultText + ")");
    // Enter closes the dialog; it never resets a control.
    reset->setAutoDefault(false);
    connect(reset, &QPushButton::clicked, this, [this, id = c.id, d = c.defaultValue] { write(id, d); });
    grid->addWidget(reset, row, 3);
    r.widgets.append(reset);
    for (QWidget* w : r.widgets) w->setEnabled(!c.readOnly);
    r.widgets.front()->setObjectName(text(c.name));
    r.show(c.current);
    rows_[c.id] = std::move(r);
  }

  // A manual control can be changed while its automatic mode is off.
  void enableFor(const Control& c) {
    if (!c.automatic || !rows_.count(c.automatic)) return;
    const bool manual = rows_.at(c.automatic).control.current == c.manualMode;
    for (QWidget* w : rows_.at(c.id).widgets) w->setEnabled(manual && !c.readOnly);
  }

  void write(uint32_t id, int64_t value) {
    Row& row = rows_.at(id);
    QStringList problems;
    for (const Outcome& o : applyValues(device_, {{row.control.name, value}})) {
      const auto it = std::find_if(rows_.begin(), rows_.end(),
                                   [&](const auto& r) { return r.second.control.name == o.name; });
      if (o.inForce && it != rows_.end()) {
        it->second.control.current = *o.inForce;
        it->second.show(*o.inForce);
      }
      if (!o.problem.empty()) problems << text(o.name) + ": " + text(o.problem);
      // Remembered as in force (an automatic mode switched off on the way too).
      if (o.inForce) remember(o.name, *o.inForce);
    }
    problem_->setText(problems.join("\n"));
    for (const auto& [other, r] : rows_) enableFor(r.control);
  }

  void remember(const std::string& name, int64_t value) {
    const auto it =
        std::find_if(changed_.begin(), changed_.end(), [&](const auto& v) { return v.first == name; });
    if (it != changed_.end()) changed_.erase(it);
    changed_.emplace_back(name, value);
  }

  std::string device_;
  std::map<uint32_t, Row> rows_;
  Values changed_;
  QLabel* problem_ = nullptr;
  QCheckBox* hold_ = nullptr;
  QCheckBox* even_ = nullptr;
};

}  // namespace

CameraChoices editCameraSettings(HWND owner, const std::string& name, const std::string& identity,
                                 const std::string& devicePath) {
  user32::Window* window = owner ? user32::fromHandle(owner) : nullptr;
  Dialog dialog(window ? window->widget() : nullptr, name, devicePath);
  dialog.exec();
  CameraChoices choices = dialog.choices();
  try {
    if (!choices.changed.empty()) {
      Values all = settings::cameraControls(identity);
      for (const auto& [n, v] : choices.changed) {
        const auto it = std::find_if(all.begin(), all.end(), [&](const auto& a) { return a.first == n; });
        if (it != all.end()) all.erase(it);
        all.emplace_back(n, v);
      }
      settings::saveCameraControls(identity, all);
    }
    if (choices.options != settings::cameraOptions()) settings::saveCameraOptions(choices.options);
  } catch (const vba::RuntimeError& e) {
    // What was set holds on the camera all the same.
    vba::MsgBox(std::string("Cannot remember the camera settings: ") + e.what(), vba::vbExclamation,
                "Ferrowick");
  }
  return choices;
}

}  // namespace camera
