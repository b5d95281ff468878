#include "platform/vb.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "platform/fontfit.h"
#include "platform/user32.h"
#include "platform/vba.h"

namespace vb {
namespace {

// The control's tab index, kept on its widget so the form can order its
// focus chain from its children alone.
constexpr const char* kTabIndexProperty = "vbTabIndex";
// Marks the timers that belong to a form, among its other child objects.
constexpr const char* kTimerName = "vbTimer";
int pixels(int twips) { return static_cast<int>(std::lround(twips / static_cast<double>(TwipsPerPixel))); }

QString qs(const std::string& s) { return QString::fromStdString(s); }

// A widget's entry in the window table, living exactly as long as the widget
// (it is the widget's child object) and leaving the table with it.
class WidgetWindow : public QObject, public user32::Window {
 public:
  explicit WidgetWindow(QWidget* w) : QObject(w), hwnd_(user32::registerWindow(this, false)) {}
  ~WidgetWindow() override { user32::unregisterWindow(hwnd_); }
  QWidget* widget() override { return static_cast<QWidget*>(parent()); }
  HWND handle() const { return hwnd_; }

 private:
  HWND hwnd_;
};

}  // namespace

void dispatch(const char* eventName, const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (const vba::RuntimeError& e) {
    std::fprintf(stderr, "Run-time error %d in %s: %s\n", e.Number(), eventName, e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Error in %s: %s\n", eventName, e.what());
  } catch (...) {
    // Nothing may unwind through Qt's event loop.
    std::fprintf(stderr, "Unknown error in %s\n", eventName);
  }
}

// ---- Application ----

struct Application::Impl {
  Impl(int& argc, char** argv) : app(argc, argv) {}
  QApplication app;
};

Application::Application(int& argc, char** argv) : d_(std::make_unique<Impl>(argc, argv)) {
  QApplication::setQuitOnLastWindowClosed(true);
}

Application::~Application() = default;

int Application::Run(Form& startForm) {
  startForm.Show();
  int rc = 0;
  // Form_Load may already have unloaded the form; then there is no loop to run.
  if (startForm.widget()->isVisible()) rc = QApplication::exec();
  // The window object ends with the run: Terminate is delivered if closing
  // the window has not delivered it already.
  startForm.Close();
  return rc;
}

// ---- Form ----

struct Form::Impl {
  class Widget;
  explicit Impl(Form& f) : form(f) {}
  void onClose(QCloseEvent* e);
  void closeDown();
  void stopTimers();

  Form& form;
  QPointer<QWidget> widget;
  HWND hwnd = nullptr;
  std::string caption;
  int clientWidth = 0;
  int clientHeight = 0;
  QColor backColor = Qt::white;
  QPixmap picture;
  bool loadDelivered = false;
  bool loaded = false;
  bool terminated = false;
  bool closing = false;    // inside the close event
  bool unloading = false;  // closing because of Unload, not the user
};

// The form's window: its background colour and picture, and the user's close.
class Form::Impl::Widget : public QWidget {
 public:
  explicit Widget(Form::Impl& d) : d_(d) { setAttribute(Qt::WA_OpaquePaintEvent); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), d_.backColor);
    if (!d_.picture.isNull()) p.drawPixmap(QPoint(0, 0), d_.picture);
  }
  void closeEvent(QCloseEvent* e) override { d_.onClose(e); }

 private:
  Form::Impl& d_;
};

void Form::Impl::onClose(QCloseEvent* e) {
  closeDown();
  e->accept();  // the window goes whether or not Terminate unloaded the form
}

void Form::Impl::closeDown() {
  closing = true;
  if (!terminated && !unloading) {
    terminated = true;
    dispatch("Form_Terminate", [this] { form.Form_Terminate(); });
  }
  closing = false;
  loaded = false;
  stopTimers();
}

void Form::Impl::stopTimers() {
  if (!widget) return;
  for (QTimer* t : widget->findChildren<QTimer*>(kTimerName, Qt::FindDirectChildrenOnly)) t->stop();
}

Form::Form(const std::string& caption, int clientWidth, int clientHeight)
    : d_(std::make_unique<Impl>(*this)) {
  d_->caption = caption;
  d_->clientWidth = clientWidth;
  d_->clientHeight = clientHeight;
  auto* w = new Impl::Widget(*d_);
  d_->widget = w;
  w->setWindowTitle(qs(caption));
  w->setFixedSize(pixels(clientWidth), pixels(clientHeight));
  w->setFont(fontfit::formFont(w->font()));
  d_->hwnd = (new WidgetWindow(w))->handle();
}

Form::~Form() {
  if (d_->widget) {
    d_->stopTimers();
    delete d_->widget.data();
  }
}

HWND Form::hWnd() const { return d_->hwnd; }
QWidget* Form::widget() const { return d_->widget; }
std::string Form::Caption() const { return d_->caption; }
int Form::ScaleWidth() const { return d_->clientWidth; }
int Form::ScaleHeight() const { return d_->clientHeight; }

void Form::SetBackColor(uint32_t color) {
  d_->backColor = QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
  QPalette pal = d_->widget->palette();
  pal.setColor(QPalette::Window, d_->backColor);
  d_->widget->setPalette(pal);
  d_->widget->update();
}

void Form::SetPicture(const std::string& resource) {
  QPixmap picture(qs(resource));
  // A missing picture leaves the form plain rather than failing its set-up.
  if (picture.isNull())
    std::fprintf(stderr, "Form %s: cannot load picture %s\n", d_->caption.c_str(), resource.c_str());
  d_->picture = picture;
  d_->widget->update();
}

void Form::SetIcon(const std::string& resource) {
  QIcon icon(qs(resource));
  if (icon.availableSizes().isEmpty() && icon.pixmap(32, 32).isNull()) {
    std::fprintf(stderr, "Form %s: cannot load icon %s\n", d_->caption.c_str(), resource.c_str());
    return;
  }
  d_->widget->setWindowIcon(icon);
}

void Form::Load() {
  d_->loaded = true;
  if (d_->loadDelivered) return;
  d_->loadDelivered = true;
  dispatch("Form_Load", [this] { Form_Load(); });
}

void Form::Show() {
  if (!d_->loaded) Load();
  if (!d_->loaded) return;  // unloaded by its own Load handler

  // The focus chain follows the tab indexes; controls that take no focus
  // (labels, images) are left out.
  std::vector<std::pair<int, QWidget*>> order;
  for (QWidget* c : d_->widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    const QVariant tab = c->property(kTabIndexProperty);
    if (!tab.isValid() || tab.toInt() < 0 || c->focusPolicy() == Qt::NoFocus) continue;
    order.emplace_back(tab.toInt(), c);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1].second, order[i].second);

  d_->widget->show();
  if (!order.empty() && !d_->widget->focusWidget()) order.front().second->setFocus();
}

bool Form::Loaded() const { return d_->loaded; }

void Form::Close() {
  if (d_->widget && d_->widget->isVisible()) {
    d_->widget->close();
  } else {
    d_->closeDown();  // a hidden window gets no close event
  }
}

void Form::Unload() {
  d_->loaded = false;
  d_->stopTimers();
  // Inside the close event the window is on its way out already.
  if (d_->closing || !d_->widget || d_->widget->isHidden()) return;
  d_->unloading = true;
  d_->widget->close();  // hides it; the event loop ends when no window is left
  d_->unloading = false;
}

// ---- Controls ----

Control::Control(Form& form, QWidget* widget, int left, int top, int width, int height, int tabIndex)
    : form_(form),
      widget_(widget),
      left_(left),
      top_(top),
      width_(width),
      height_(height),
      tabIndex_(tabIndex) {
  widget->setGeometry(pixels(left), pixels(top), pixels(width), pixels(height));
  widget->setProperty(kTabIndexProperty, tabIndex);
  // Qt deletes the widget with the form's window; the control then forgets it
  // rather than deleting it a second time.
  QObject::connect(widget, &QObject::destroyed, widget, [this] { widget_ = nullptr; });
  hwnd_ = (new WidgetWindow(widget))->handle();
  if (form.widget()->isVisible()) widget->show();
}

Control::~Control() {
  if (widget_) delete widget_;
}

HWND Control::hWnd() const { return hwnd_; }

namespace {
template <typename W>
W* as(QWidget* w) {
  return static_cast<W*>(w);
}
}  // namespace

ListBox::ListBox(Form& form, int left, int top, int width, int height, int tabIndex)
    : Control(form, new QListWidget(form.widget()), left, top, width, height, tabIndex) {
  as<QListWidget>(widget())->setSelectionMode(QAbstractItemView::SingleSelection);
}

void ListBox::Clear() { as<QListWidget>(widget())->clear(); }

void ListBox::AddItem(const std::string& item) { as<QListWidget>(widget())->addItem(qs(item)); }

int ListBox::ListCount() const { return as<QListWidget>(widget())->count(); }

int ListBox::ListIndex() const {
  const auto* list = as<QListWidget>(widget());
  // An entry deselected with Ctrl+click keeps the focus but is not chosen.
  const QListWidgetItem* current = list->currentItem();
  return current && current->isSelected() ? list->currentRow() : -1;
}

void ListBox::SetListIndex(int i) {
  auto* list = as<QListWidget>(widget());
  if (i < -1 || i >= list->count()) throw vba::RuntimeError(380, "Invalid property value");
  if (i == -1) {
    list->clearSelection();
    list->setCurrentRow(-1);
  } else {
    list->setCurrentRow(i, QItemSelectionModel::ClearAndSelect);
  }
}

std::string ListBox::List(int i) const {
  const QListWidgetItem* item = as<QListWidget>(widget())->item(i);
  if (!item) throw vba::RuntimeError(381, "Invalid property array index");
  return item->text().toStdString();
}

TextBox::TextBox(Form& form, int left, int top, int width, int height, int tabIndex, const std::string& text)
    : Control(form, new QLineEdit(qs(text), form.widget()), left, top, width, height, tabIndex) {}

std::string TextBox::Text() const { return as<QLineEdit>(widget())->text().toStdString(); }

void TextBox::SetText(const std::string& text) { as<QLineEdit>(widget())->setText(qs(text)); }

Label::Label(Form& form, int left, int top, int width, int height, int tabIndex, const std::string& caption,
             bool wordWrap)
    : Control(form, new QLabel(form.widget()), left, top, width, height, tabIndex) {
  auto* label = as<QLabel>(widget());
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(wordWrap);
  label->setAutoFillBackground(false);  // the form's background shows through
  label->setText(qs(caption));
  fontfit::fitLabel(label);
}

std::string Label::Caption() const { return as<QLabel>(widget())->text().toStdString(); }

void Label::SetCaption(const std::string& caption) {
  auto* label = as<QLabel>(widget());
  label->setText(qs(caption));
  fontfit::fitLabel(label);
}

CommandButton::CommandButton(Form& form, int left, int top, int width, int height, int tabIndex,
                             const std::string& caption)
    : Control(form, new QPushButton(qs(caption), form.widget()), left, top, width, height, tabIndex) {
  QObject::connect(as<QPushButton>(widget()), &QAbstractButton::clicked, widget(),
                   [this] { dispatch("Click", OnClick); });
  fontfit::fitButton(as<QPushButton>(widget()));
}

std::string CommandButton::Caption() const { return as<QPushButton>(widget())->text().toStdString(); }

void CommandButton::Click() {
  if (widget()) as<QPushButton>(widget())->click();
}

PictureBox::PictureBox(Form& form, int left, int top, int width, int height, int tabIndex)
    : Control(form, new QWidget(form.widget()), left, top, width, height, tabIndex) {
  QPalette pal = widget()->palette();
  pal.setColor(QPalette::Window, Qt::black);
  widget()->setPalette(pal);
  widget()->setAutoFillBackground(true);
}

float PictureBox::ScaleWidth() const { return static_cast<float>(widget()->width()); }

float PictureBox::ScaleHeight() const { return static_cast<float>(widget()->height()); }

Image::Image(Form& form, int left, int top, int width, int height)
    : Control(form, new QWidget(form.widget()), left, top, width, height, -1) {
  widget()->hide();
}

// ---- Timer ----

struct Timer::Impl {
  // Re-armed on every timeout for the next tick due; active while enabled
  // (also inside a handler), stopped with its form.
  QPointer<QTimer> timer;
  int interval = 0;
  QElapsedTimer since;   // since the timer was enabled
  qint64 delivered = 0;  // ticks delivered since then

  // Arms the timer for tick (delivered + 1), due at (delivered + 1) x interval
  // after enabling: the ideal timeline, however late earlier ticks ran.
  void arm() {
    if (!timer || !timer->isActive()) return;
    const qint64 due = (delivered + 1) * interval;
    timer->start(static_cast<int>(std::max<qint64>(0, due - since.elapsed())));
  }
};

Timer::Timer(Form& form, int intervalMs) : d_(std::make_unique<Impl>()) {
  // A child of the form's window, so unloading the form stops it.
  auto* t = new QTimer(form.widget());
  t->setObjectName(kTimerName);
  t->setTimerType(Qt::PreciseTimer);
  d_->interval = intervalMs;
  // Every tick that fell due is delivered, also those a busy UI thread held
  // up: each interval that passed is counted, late rather than never.
  QObject::connect(t, &QTimer::timeout, t, [this] {
    Impl& d = *d_;
    const QTimer* timer = d.timer;
    while (timer && timer->isActive() && d.delivered < d.since.elapsed() / d.interval) {
      ++d.delivered;
      dispatch("Timer", OnTimer);
    }
    d.arm();
  });
  d_->timer = t;
}

Timer::~Timer() {
  if (d_->timer) delete d_->timer.data();
}

int Timer::Interval() const { return d_->interval; }

bool Timer::Enabled() const { return d_->timer && d_->timer->isActive(); }

void Timer::SetEnabled(bool enabled) {
  QTimer* t = d_->timer;
  if (!t) return;
  if (!enabled) {
    t->stop();
  } else if (!t->isActive() && d_->interval > 0) {
    // Starting only when stopped keeps an enabled timer on its timeline.
    d_->since.start();
    d_->delivered = 0;
    t->start(d_->interval);
  }
}

}  // namespace vb
