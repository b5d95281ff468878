#include "platform/vb.h"

#include <fcntl.h>
#include <unistd.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <csignal>
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

// Why the application is ending its forms, when it is (the end of the
// desktop session, a request to end); -1 while only the user closes them.
int& endingMode() {
  static int mode = -1;
  return mode;
}

// The pipe the SIGTERM handler writes a byte into: the only thing a signal
// handler may safely do; the event loop reads it.
int& terminatePipe() {
  static int fd = -1;
  return fd;
}

int& terminateReadEnd() {
  static int fd = -1;
  return fd;
}

void onTerminateSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(terminatePipe(), &byte, 1);
}

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
  // The session manager asks for the program's data as the desktop session
  // ends; the forms close after that because of it.
  QObject::connect(&d_->app, &QGuiApplication::commitDataRequest, &d_->app,
                   [](QSessionManager&) { endingMode() = vbAppWindows; });
}

Application::~Application() = default;

void Application::CatchTerminate() {
  if (terminatePipe() >= 0) return;
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  terminateReadEnd() = fds[0];
  terminatePipe() = fds[1];
  struct sigaction action {};
  action.sa_handler = onTerminateSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
}

int Application::Run(Form& startForm) {
  // A request to end (SIGTERM, as the system shuts down) ends the run as
  // such: the form is told so, and closes as at any other end of the run.
  CatchTerminate();
  std::unique_ptr<QSocketNotifier> notifier;
  if (terminateReadEnd() >= 0) {
    notifier = std::make_unique<QSocketNotifier>(terminateReadEnd(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [fd = terminateReadEnd()] {
      char byte;
      while (::read(fd, &byte, 1) > 0) {
      }
      if (endingMode() < 0) endingMode() = vbAppTaskManager;
      QApplication::quit();
    });
  }
  startForm.Show();
  int rc = 0;
  // Form_Load may already have unloaded the form; then there is no loop to
  // run. A request to end that came while it loaded ends the loop at once.
  if (startForm.widget()->isVisible() && endingMode() < 0) rc = QApplication::exec();
  // The window object ends with the run: Terminate is delivered if closing
  // the window has not delivered it already.
  startForm.Close();
  // Caught until the program ends: a request now finds the window gone.
  notifier.reset();
  return rc;
}

// ---- Form ----

struct Form::Impl {
  class Widget;
  class Client;
  explicit Impl(Form& f) : form(f) {}
  void onClose(QCloseEvent* e);
  void closeDown();
  void stopTimers();
  QMenuBar* menuBar();

  Form& form;
  QPointer<QWidget> widget;
  QPointer<QWidget> client;
  QPointer<QMenuBar> bar;
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

// The form's window: the menu bar, when there is one, above the client area;
// the user's close.
class Form::Impl::Widget : public QWidget {
 public:
  explicit Widget(Form::Impl& d) : d_(d) {}

 protected:
  void closeEvent(QCloseEvent* e) override { d_.onClose(e); }

 private:
  Form::Impl& d_;
};

// The client area: its background colour and picture.
class Form::Impl::Client : public QWidget {
 public:
  Client(Form::Impl& d, QWidget* parent) : QWidget(parent), d_(d) { setAttribute(Qt::WA_OpaquePaintEvent); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), d_.backColor);
    if (!d_.picture.isNull()) p.drawPixmap(QPoint(0, 0), d_.picture);
  }

 private:
  Form::Impl& d_;
};

// The menu bar, made with the first menu: the window grows by its height and
// the client area keeps its size and every control its place.
QMenuBar* Form::Impl::menuBar() {
  if (!bar) {
    bar = new QMenuBar(widget);
    bar->setNativeMenuBar(false);  // in the window, as the form was designed
    widget->layout()->setMenuBar(bar);
  }
  return bar;
}

void Form::Impl::onClose(QCloseEvent* e) {
  closeDown();
  e->accept();  // the window goes whether or not Terminate unloaded the form
}

void Form::Impl::closeDown() {
  closing = true;
  if (!terminated && !unloading) {
    terminated = true;
    const int mode = endingMode() >= 0 ? endingMode() : vbFormControlMenu;
    dispatch("Form_QueryUnload", [this, mode] { form.Form_QueryUnload(mode); });
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
  w->setFont(fontfit::formFont(w->font()));
  auto* client = new Impl::Client(*d_, w);
  d_->client = client;
  client->setFixedSize(pixels(clientWidth), pixels(clientHeight));
  // The window is exactly the client area plus the menu bar, if any.
  auto* layout = new QVBoxLayout(w);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(client);
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
QWidget* Form::client() const { return d_->client; }
std::string Form::Caption() const { return d_->caption; }
int Form::ScaleWidth() const { return d_->clientWidth; }
int Form::ScaleHeight() const { return d_->clientHeight; }

void Form::SetBackColor(uint32_t color) {
  d_->backColor = QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
  QPalette pal = d_->widget->palette();
  pal.setColor(QPalette::Window, d_->backColor);
  d_->widget->setPalette(pal);
  d_->client->update();
}

void Form::SetPicture(const std::string& resource) {
  QPixmap picture(qs(resource));
  // A missing picture leaves the form plain rather than failing its set-up.
  if (picture.isNull())
    std::fprintf(stderr, "Form %s: cannot load picture %s\n", d_->caption.c_str(), resource.c_str());
  d_->picture = picture;
  d_->client->update();
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
  for (QWidget* c : d_->client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
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
    : Control(form, new QListWidget(form.client()), left, top, width, height, tabIndex) {
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
    : Control(form, new QLineEdit(qs(text), form.client()), left, top, width, height, tabIndex) {}

std::string TextBox::Text() const { return as<QLineEdit>(widget())->text().toStdString(); }

void TextBox::SetText(const std::string& text) { as<QLineEdit>(widget())->setText(qs(text)); }

Label::Label(Form& form, int left, int top, int width, int height, int tabIndex, const std::string& caption,
             bool wordWrap)
    : Control(form, new QLabel(form.client()), left, top, width, height, tabIndex) {
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
  const QString text = qs(caption);
  // The same caption again (a status line that says the same each second)
  // costs no new fit: measuring the text is the dearest part of a tick.
  if (label->text() == text) return;
  label->setText(text);
  fontfit::fitLabel(label);
}

CommandButton::CommandButton(Form& form, int left, int top, int width, int height, int tabIndex,
                             const std::string& caption)
    : Control(form, new QPushButton(qs(caption), form.client()), left, top, width, height, tabIndex) {
  QObject::connect(as<QPushButton>(widget()), &QAbstractButton::clicked, widget(),
                   [this] { dispatch("Click", OnClick); });
  fontfit::fitButton(as<QPushButton>(widget()));
}

std::string CommandButton::Caption() const { return as<QPushButton>(widget())->text().toStdString(); }

void CommandButton::Click() {
  if (widget()) as<QPushButton>(widget())->click();
}

PictureBox::PictureBox(Form& form, int left, int top, int width, int height, int tabIndex)
    : Control(form, new QWidget(form.client()), left, top, width, height, tabIndex) {
  QPalette pal = widget()->palette();
  pal.setColor(QPalette::Window, Qt::black);
  widget()->setPalette(pal);
  widget()->setAutoFillBackground(true);
}

float PictureBox::ScaleWidth() const { return static_cast<float>(widget()->width()); }

float PictureBox::ScaleHeight() const { return static_cast<float>(widget()->height()); }

Image::Image(Form& form, int left, int top, int width, int height)
    : Control(form, new QWidget(form.client()), left, top, width, height, -1) {
  widget()->hide();
}

// ---- Menu ----

struct Menu::Impl {
  QPointer<QAction> action;  // the entry in the menu bar or the parent's menu
  QPointer<QMenu> items;     // its own items, once it has some
  QPointer<QMenu> holder;    // the parent's menu; null on the menu bar
  bool checked = false;
};

namespace {

QMenu* newMenu(const std::string& caption, QWidget* parent) {
  auto* menu = new QMenu(qs(caption), parent);
  menu->setObjectName(qs(caption).remove('&'));
  return menu;
}

}  // namespace

Menu::Menu(Form& form, const std::string& caption) : d_(std::make_unique<Impl>()) {
  d_->items = newMenu(caption, form.widget());
  d_->action = form.d_->menuBar()->addMenu(d_->items);
}

Menu::Menu(Menu& parent, const std::string& caption) : d_(std::make_unique<Impl>()) {
  Impl& p = *parent.d_;
  if (!p.items) {
    // An item that gets items of its own becomes a submenu in its place.
    p.items = newMenu(p.action->text().toStdString(), p.holder);
    QAction* old = p.action;
    p.action = p.holder->insertMenu(old, p.items);
    p.action->setEnabled(old->isEnabled());
    delete old;
  }
  d_->holder = p.items;
  if (caption == "-") {
    d_->action = p.items->addSeparator();
    return;
  }
  d_->action = p.items->addAction(qs(caption));
  QObject::connect(d_->action, &QAction::triggered, d_->action, [this] {
    // Qt flips a checkable item by itself; the mark is the handler's to set.
    d_->action->setChecked(d_->checked);
    dispatch("Click", OnClick);
  });
}

Menu::~Menu() {
  if (d_->items) {
    delete d_->items.data();  // its action goes with it
  } else if (d_->action) {
    delete d_->action.data();
  }
}

std::string Menu::Caption() const { return d_->action ? d_->action->text().toStdString() : std::string(); }

void Menu::SetCaption(const std::string& caption) {
  if (d_->action) d_->action->setText(qs(caption));
}

bool Menu::Checked() const { return d_->checked; }

void Menu::SetChecked(bool checked) {
  d_->checked = checked;
  if (!d_->action) return;
  d_->action->setCheckable(checked || d_->action->isCheckable());
  d_->action->setChecked(checked);
}

bool Menu::Enabled() const { return d_->action && d_->action->isEnabled(); }

void Menu::SetEnabled(bool enabled) {
  if (d_->action) d_->action->setEnabled(enabled);
}

void Menu::Click() {
  if (d_->action && d_->action->isEnabled() && !d_->items) d_->action->trigger();
}

QAction* Menu::action() const { return d_->action; }

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
