#include "video/videodialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <atomic>
#include <cmath>
#include <thread>

#include "platform/vba.h"
#include "settings/settings.h"
#include "video/frames.h"
#include "video/makevideo.h"

namespace video {

namespace {

struct SizeChoice {
  const char* key;
  int width;
  int height;
};
// Width 0: the frames' own size.
constexpr SizeChoice kSizes[] = {{"frames", 0, 0}, {"1280x720", 1280, 720}, {"1920x1080", 1920, 1080}};

QString clockText(double seconds) {
  const int s = static_cast<int>(std::ceil(seconds));
  return s >= 3600 ? QString::asprintf("%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60)
                   : QString::asprintf("%d:%02d", s / 60, s % 60);
}

// Beside the frames folder, named after it, under the first free name.
QString freeVideoName(const QString& folder, const QString& extension) {
  const QFileInfo frames(QDir::cleanPath(folder));
  const QString base = frames.dir().filePath(frames.fileName().isEmpty() ? "video" : frames.fileName());
  QString name = base + "." + extension;
  for (int n = 2; QFileInfo::exists(name); ++n) name = QString("%1_%2.%3").arg(base).arg(n).arg(extension);
  return name;
}

class MakeVideoDialog : public QDialog {
 public:
  explicit MakeVideoDialog(const std::string& framesFolder);
  ~MakeVideoDialog() override { finishWorker(); }

  std::optional<Made> made;

 protected:
  void reject() override;

 private:
  void folderChanged();
  QString videoFile() const;
  void start();
  void showProgress(const Progress& progress);
  void finished(const Result& result);
  void setMaking(bool making);
  // Asks the run to end; it leaves no partial file.
  void cancelMaking(bool thenClose);
  void finishWorker() {
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
  }

  QLineEdit* folder_ = new QLineEdit;
  QPushButton* choose_ = new QPushButton("Choose…");
  QLabel* found_ = new QLabel;
  QSpinBox* fps_ = new QSpinBox;
  QComboBox* size_ = new QComboBox;
  QComboBox* format_ = new QComboBox;
  QCheckBox* deflicker_ = new QCheckBox("Even out flicker");
  QLabel* file_ = new QLabel;
  QProgressBar* bar_ = new QProgressBar;
  QLabel* progressText_ = new QLabel;
  QLabel* status_ = new QLabel;
  QDialogButtonBox* buttons_ = new QDialogButtonBox;
  QPushButton* make_ = nullptr;
  QPushButton* close_ = nullptr;

  std::string output_;  // the video being made
  bool hasFrames_ = false;
  bool making_ = false;
  bool closeWhenDone_ = false;
  std::atomic<bool> cancel_{false};
  std::thread worker_;
};

MakeVideoDialog::MakeVideoDialog(const std::string& framesFolder) {
  setWindowTitle("Make video");
  folder_->setText(QString::fromStdString(framesFolder));
  const settings::VideoChoices remembered = settings::videoChoices();
  fps_->setRange(1, 120);
  fps_->setValue(std::clamp(remembered.fps, 1, 120));
  for (const SizeChoice& choice : kSizes) {
    size_->addItem(choice.width ? QString("%1 × %2").arg(choice.width).arg(choice.height) : "As the frames",
                   choice.key);
  }
  size_->setCurrentIndex(std::max(0, size_->findData(QString::fromStdString(remembered.size))));
  format_->addItem("MP4 (H.264)", "mp4");
  format_->addItem("WebM (VP9)", "webm");
  format_->setCurrentIndex(std::max(0, format_->findData(QString::fromStdString(remembered.format))));
  deflicker_->setChecked(remembered.deflicker);
  file_->setWordWrap(true);
  status_->setWordWrap(true);
  bar_->setTextVisible(false);

  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(folder_, 1);
  folderRow->addWidget(choose_);
  auto* form = new QFormLayout;
  form->addRow("Frames folder:", folderRow);
  form->addRow("Found:", found_);
  form->addRow("Frames per second:", fps_);
  form->addRow("Size:", size_);
  form->addRow("Format:", format_);
  form->addRow("", deflicker_);
  form->addRow("Video file:", file_);
  make_ = buttons_->addButton("Make video", QDialogButtonBox::AcceptRole);
  close_ = buttons_->addButton(QDialogButtonBox::Close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(bar_);
  layout->addWidget(progressText_);
  layout->addWidget(status_);
  layout->addWidget(buttons_);
  bar_->hide();
  progressText_->hide();
  setMinimumWidth(520);

  connect(choose_, &QPushButton::clicked, this, [this] {
    const QString chosen = QFileDialog::getExistingDirectory(this, "Frames folder", folder_->text());
    if (chosen.isEmpty()) return;
    folder_->setText(chosen);
    folderChanged();
  });
  connect(folder_, &QLineEdit::editingFinished, this, [this] { folderChanged(); });
  connect(format_, &QComboBox::currentIndexChanged, this, [this] { file_->setText(videoFile()); });
  connect(make_, &QPushButton::clicked, this, [this] { start(); });
  connect(close_, &QPushButton::clicked, this, [this] {
    if (making_) {
      cancelMaking(false);
    } else {
      QDialog::reject();
    }
  });
  folderChanged();
}

void MakeVideoDialog::folderChanged() {
  const FrameList list = listFrames(folder_->text().toStdString());
  hasFrames_ = !list.frames.empty();
  int width = 0;
  int height = 0;
  video::frameSize(list, width, height);
  size_->setItemText(0, width ? QString("As the frames (%1 × %2)").arg(width).arg(height) : "As the frames");
  found_->setText(
      hasFrames_
          ? QString("%1 frames, %2").arg(list.frames.size()).arg(QString::fromStdString(timeSpan(list)))
          : "No frames in this folder");
  file_->setText(videoFile());
  make_->setEnabled(hasFrames_ && !making_);
}

QString MakeVideoDialog::videoFile() const {
  return freeVideoName(folder_->text(), format_->currentData().toString());
}

void MakeVideoDialog::setMaking(bool making) {
  making_ = making;
  for (QWidget* input :
       {static_cast<QWidget*>(folder_), static_cast<QWidget*>(choose_), static_cast<QWidget*>(fps_),
        static_cast<QWidget*>(size_), static_cast<QWidget*>(format_), static_cast<QWidget*>(deflicker_)}) {
    input->setEnabled(!making);
  }
  make_->setEnabled(!making && hasFrames_);
  close_->setText(making ? "Cancel" : "Close");
  close_->setEnabled(true);
  bar_->setVisible(making);
  progressText_->setVisible(making);
}

void MakeVideoDialog::start() {
  Settings settings;
  settings.folder = folder_->text().toStdString();
  settings.output = output_ = videoFile().toStdString();
  settings.fps = fps_->value();
  const SizeChoice& size = kSizes[std::max(0, size_->currentIndex())];
  settings.width = size.width;
  settings.height = size.height;
  settings.format = format_->currentData().toString() == "webm" ? Format::webm : Format::mp4;
  settings.deflicker = deflicker_->isChecked();
  try {
    ::settings::saveVideoChoices({settings.fps, size.key, extension(settings.format), settings.deflicker});
  } catch (const vba::RuntimeError&) {
    // Choices not remembered are no reason to make no video.
  }

  finishWorker();
  cancel_ = false;
  status_->clear();
  bar_->setRange(0, 0);
  progressText_->setText("Starting…");
  setMaking(true);
  worker_ = std::thread([this, settings] {
    const Result result = makeVideo(
        settings,
        [this](const Progress& progress) {
          QMetaObject::invokeMethod(
              this, [this, progress] { showProgress(progress); }, Qt::QueuedConnection);
        },
        cancel_);
    QMetaObject::invokeMethod(
        this, [this, result] { finished(result); }, Qt::QueuedConnection);
  });
}

void MakeVideoDialog::showProgress(const Progress& progress) {
  if (!making_) return;
  bar_->setRange(0, progress.total);
  bar_->setValue(progress.done);
  QString text = QString("%1 of %2 frames").arg(progress.done).arg(progress.total);
  if (progress.done == progress.total) {
    text += ", finishing the video…";
  } else if (progress.secondsLeft >= 0) {
    text += ", " + clockText(progress.secondsLeft) + " left";
  }
  progressText_->setText(text);
}

void MakeVideoDialog::finished(const Result& result) {
  finishWorker();
  setMaking(false);
  if (result.complete) {
    made = Made{output_, result.message};
    accept();
    return;
  }
  if (closeWhenDone_) {
    QDialog::reject();
    return;
  }
  status_->setText(QString::fromStdString(result.message));
  folderChanged();
}

void MakeVideoDialog::cancelMaking(bool thenClose) {
  cancel_ = true;
  closeWhenDone_ = thenClose;
  close_->setEnabled(false);
  progressText_->setText("Cancelling…");
}

// Escape or the window closed: while a video is made, it is cancelled first.
void MakeVideoDialog::reject() {
  if (making_) {
    cancelMaking(true);
  } else {
    QDialog::reject();
  }
}

}  // namespace

std::optional<Made> runMakeVideoDialog(const std::string& framesFolder) {
  MakeVideoDialog dialog(framesFolder);
  dialog.exec();
  return dialog.made;
}

}  // namespace video
