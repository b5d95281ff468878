#include "send/senddialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <optional>
#include <vector>

#include "platform/user32.h"
#include "platform/vba.h"
#include "send/rclone.h"

namespace sending {
namespace {

class Dialog : public QDialog {
 public:
  Dialog(QWidget* parent, const settings::SendOptions& o, const std::function<std::string()>& status)
      : QDialog(parent), status_(status) {
    setWindowTitle("Send frames to");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Send each frame, as it is taken, to:"));
    nowhere_ = new QRadioButton("&Nowhere");
    folderChoice_ = new QRadioButton("A &folder");
    remoteChoice_ = new QRadioButton("An &rclone remote");
    auto* group = new QButtonGroup(this);
    auto* grid = new QGridLayout;
    grid->addWidget(nowhere_, 0, 0);
    folder_ = new QLineEdit;
    folder_->setPlaceholderText("/mnt/nas/timelapse");
    folder_->setMinimumWidth(folder_->fontMetrics().averageCharWidth() * 36);
    auto* choose = new QPushButton("&Choose…");
    grid->addWidget(folderChoice_, 1, 0);
    grid->addWidget(folder_, 1, 1, 1, 2);
    grid->addWidget(choose, 1, 3);
    remote_ = new QComboBox;
    path_ = new QLineEdit;
    path_->setPlaceholderText("path/under/it");
    auto* remoteRow = new QHBoxLayout;
    remoteRow->addWidget(remote_);
    remoteRow->addWidget(new QLabel(":"));
    remoteRow->addWidget(path_, 1);
    grid->addWidget(remoteChoice_, 2, 0);
    grid->addLayout(remoteRow, 2, 1, 1, 3);
    remoteHint_ = new QLabel;
    remoteHint_->setWordWrap(true);
    grid->addWidget(remoteHint_, 3, 1, 1, 3);
    for (QRadioButton* b : {nowhere_, folderChoice_, remoteChoice_}) group->addButton(b);
    layout->addLayout(grid);

    latest_ = new QCheckBox("Send the latest frame also as &latest.jpg");
    layout->addWidget(latest_);
    auto* keepRow = new QHBoxLayout;
    keep_ = new QCheckBox("&Keep frames for");
    days_ = new QSpinBox;
    days_->setRange(1, 36500);
    keepRow->addWidget(keep_);
    keepRow->addWidget(days_);
    keepRow->addWidget(new QLabel("days (older ones are deleted here)"));
    keepRow->addStretch();
    layout->addLayout(keepRow);
    daily_ = new QCheckBox("Make a &video of each day");
    layout->addWidget(daily_);
    state_ = new QLabel;
    state_->setWordWrap(true);
    // Room for a failure's few lines, so that the dialog does not jump as the state changes.
    state_->setMinimumHeight(state_->fontMetrics().lineSpacing() * 4);
    state_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addSpacing(6);
    layout->addWidget(state_);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons_);

    // The user's remotes; one chosen before stays listed even when rclone no longer has it.
    std::string why;
    const std::optional<std::vector<std::string>> remotes = listRemotes(why);
    for (const std::string& r : remotes.value_or(std::vector<std::string>{}))
      remote_->addItem(QString::fromStdString(r));
    if (!remotes) {
      remoteHint_->setText(QString::fromStdString(why + "."));
    } else if (remotes->empty()) {
      remoteHint_->setText("rclone has no remotes yet: set one up with `rclone config`.");
    } else {
      remoteHint_->hide();
    }
    const std::optional<std::string> remote = remoteOf(o.destination);
    if (remote) {
      if (remote_->findText(QString::fromStdString(*remote)) < 0)
        remote_->addItem(QString::fromStdString(*remote));
      remote_->setCurrentText(QString::fromStdString(*remote));
      path_->setText(QString::fromStdString(o.destination.substr(remote->size() + 1)));
      remoteChoice_->setChecked(true);
    } else if (!o.destination.empty()) {
      folder_->setText(QString::fromStdString(o.destination));
      folderChoice_->setChecked(true);
    } else {
      nowhere_->setChecked(true);
    }
    latest_->setChecked(o.latest);
    keep_->setChecked(o.keepDays > 0);
    days_->setValue(o.keepDays > 0 ? o.keepDays : 30);
    daily_->setChecked(o.dailyVideo);

    connect(choose, &QPushButton::clicked, this, [this] {
      const QString chosen =
          QFileDialog::getExistingDirectory(this, "Send frames to the folder", folder_->text());
      if (chosen.isEmpty()) return;
      folder_->setText(chosen);
      folderChoice_->setChecked(true);
    });
    for (QRadioButton* b : {nowhere_, folderChoice_, remoteChoice_})
      connect(b, &QRadioButton::toggled, this, [this] { refresh(); });
    connect(folder_, &QLineEdit::textChanged, this, [this] { refresh(); });
    connect(remote_, &QComboBox::currentTextChanged, this, [this] { refresh(); });
    connect(path_, &QLineEdit::textChanged, this, [this] { refresh(); });
    connect(keep_, &QCheckBox::toggled, this, [this] { refresh(); });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { state_->setText(QString::fromStdString(status_())); });
    timer->start(1000);
    state_->setText(QString::fromStdString(status_()));
    refresh();
  }

  settings::SendOptions options() const {
    settings::SendOptions o;
    if (folderChoice_->isChecked())
      o.destination = QDir::cleanPath(QFileInfo(folder_->text().trimmed()).absoluteFilePath()).toStdString();
    if (remoteChoice_->isChecked())
      o.destination = remote_->currentText().toStdString() + ":" + path_->text().trimmed().toStdString();
    o.latest = latest_->isChecked();
    o.keepDays = keep_->isChecked() ? days_->value() : 0;
    o.dailyVideo = daily_->isChecked();
    return o;
  }

  // A folder that does not exist is made when the user wants it; otherwise
  // frames wait for it, as for a share not mounted yet.
  void accept() override {
    const QString folder = QString::fromStdString(options().destination);
    if (folderChoice_->isChecked() && !QFileInfo(folder).isDir()) {
      const int answer = vba::MsgBox("The folder " + folder.toStdString() +
                                         " does not exist. Make it now?\n\n(No: frames wait until it is "
                                         "there, as for a share that is not mounted yet.)",
                                     vba::vbYesNo | vba::vbQuestion, "Send frames to");
      if (answer == vba::vbYes && !QDir().mkpath(folder)) {
        vba::MsgBox("Cannot make the folder " + folder.toStdString() + ".", vba::vbExclamation,
                    "Send frames to");
        return;
      }
    }
    QDialog::accept();
  }

 private:
  // What is not chosen is greyed; OK needs a folder or a remote.
  void refresh() {
    folder_->setEnabled(folderChoice_->isChecked());
    remote_->setEnabled(remoteChoice_->isChecked());
    path_->setEnabled(remoteChoice_->isChecked());
    latest_->setEnabled(!nowhere_->isChecked());
    days_->setEnabled(keep_->isChecked());
    // A remote's path is asked for: with none, a local remote would take the
    // program's working folder, an object store its list of buckets.
    const bool complete = (!folderChoice_->isChecked() || !folder_->text().trimmed().isEmpty()) &&
                          (!remoteChoice_->isChecked() ||
                           (!remote_->currentText().isEmpty() && !path_->text().trimmed().isEmpty()));
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(complete);
  }

  std::function<std::string()> status_;
  QRadioButton* nowhere_;
  QRadioButton* folderChoice_;
  QRadioButton* remoteChoice_;
  QLineEdit* folder_;
  QComboBox* remote_;
  QLineEdit* path_;
  QLabel* remoteHint_;
  QCheckBox* latest_;
  QCheckBox* keep_;
  QSpinBox* days_;
  QCheckBox* daily_;
  QLabel* state_;
  QDialogButtonBox* buttons_;
};

}  // namespace

bool editSendOptions(HWND owner, settings::SendOptions& options, const std::function<std::string()>& status) {
  user32::Window* window = owner ? user32::fromHandle(owner) : nullptr;
  Dialog dialog(window ? window->widget() : nullptr, options, status);
  if (dialog.exec() != QDialog::Accepted) return false;
  options = dialog.options();
  return true;
}

}  // namespace sending
