#include "web/webdialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "platform/user32.h"
#include "web/password.h"

namespace web {
namespace {

class Dialog : public QDialog {
 public:
  Dialog(QWidget* parent, const settings::WebOptions& options, const std::string& url)
      : QDialog(parent), hasPassword_(!options.passwordHash.empty()) {
    setWindowTitle("Web page");
    auto* layout = new QVBoxLayout(this);
    enabled_ = new QCheckBox("&Serve the web page");
    enabled_->setChecked(options.enabled);
    layout->addWidget(enabled_);
    auto* form = new QFormLayout;
    port_ = new QSpinBox;
    port_->setRange(1, 65535);
    port_->setValue(options.port);
    form->addRow("&Port:", port_);
    password_ = new QLineEdit;
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(hasPassword_ ? "(set; type to change)" : "(none)");
    form->addRow("Pass&word:", password_);
    layout->addLayout(form);
    forget_ = new QCheckBox("&No password");
    forget_->setVisible(hasPassword_);
    layout->addWidget(forget_);
    others_ = new QCheckBox("&Let other computers connect");
    others_->setChecked(options.otherComputers);
    layout->addWidget(others_);
    note_ = new QLabel;
    note_->setWordWrap(true);
    layout->addWidget(note_);
    layout->addWidget(new QLabel(url.empty() ? QString("The page is not served now.")
                                             : "The page is at " + QString::fromStdString(url) +
                                                   " (user name ferrowick when a password is set)."));
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    for (QCheckBox* b : {enabled_, others_, forget_})
      connect(b, &QCheckBox::toggled, this, [this] { update(); });
    connect(password_, &QLineEdit::textChanged, this, [this] { update(); });
    update();
  }

  settings::WebOptions result(settings::WebOptions options) const {
    options.enabled = enabled_->isChecked();
    options.port = port_->value();
    if (!password_->text().isEmpty()) {
      options.passwordHash = password::hash(password_->text().toStdString());
    } else if (forget_->isChecked()) {
      options.passwordHash.clear();
    }
    options.otherComputers = others_->isChecked();
    return options;
  }

 private:
  // Other computers only with a password: OK waits for one.
  void update() {
    const bool password = !password_->text().isEmpty() || (hasPassword_ && !forget_->isChecked());
    const bool refused = others_->isChecked() && !password;
    note_->setText(refused ? "Other computers may connect only with a password." : "");
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(!refused);
  }

  bool hasPassword_;
  QCheckBox* enabled_ = nullptr;
  QSpinBox* port_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* forget_ = nullptr;
  QCheckBox* others_ = nullptr;
  QLabel* note_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
};

}  // namespace

bool editWebOptions(HWND owner, settings::WebOptions& options, const std::string& url) {
  user32::Window* window = user32::fromHandle(owner);
  Dialog dialog(window ? window->widget() : nullptr, options, url);
  if (dialog.exec() != QDialog::Accepted) return false;
  options = dialog.result(options);
  return true;
}

}  // namespace web
