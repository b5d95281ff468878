#include "platform/avicap32.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <exception>
#include <set>

#include "platform/cameralog.h"
#include "platform/sourcewatch.h"

namespace avicap32 {
namespace {

DriverList& registry() {
  static DriverList drivers;
  return drivers;
}

// Writes text and its NUL into buf (cb bytes), cutting a text that does not
// fit before a UTF-8 character that would not fit whole. Bytes after the NUL
// are left as they were.
void copyText(const std::string& text, char* buf, int cb) {
  if (!buf || cb <= 0) return;
  size_t n = std::min(text.size(), static_cast<size_t>(cb - 1));
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

// The rate a capture window previews at until told otherwise.
constexpr int kDefaultPreviewRateMs = 66;
// Frame rate asked of a driver on connect; the preview rate limits painting.
constexpr int kConnectFps = 15;

class CaptureWindow;

std::set<CaptureWindow*>& windows() {
  static std::set<CaptureWindow*> all;
  return all;
}

// The capture window's widget: shows the window's surface.
class CaptureWidget : public QWidget {
 public:
  CaptureWidget(CaptureWindow& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
  }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  CaptureWindow& owner_;
};

class CaptureWindow : public user32::Window {
 public:
  CaptureWindow(QWidget* parent, const QString& name, const QRect& geometry)
      : widget_(new CaptureWidget(*this, parent)) {
    widget_->setObjectName(name);
    widget_->setGeometry(geometry);
    syncSurface();
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { previewPeriod(); });
    windows().insert(this);
  }

  // The table deletes the widget before this (or this because the widget
  // went), so only the driver and the timer are released here.
  ~CaptureWindow() override {
    windows().erase(this);
    timer_.stop();
    if (driver_) driver_->disconnect();
  }

  // The device of the window's driver went away: lost at once.
  void deviceRemoved(const CaptureDriver& driver) {
    if (driver_.get() == &driver && !watch_.lost()) enterLost("its device went away");
  }

  // It is back: tried again now.
  void deviceReturned(const CaptureDriver& driver) {
    if (driver_.get() == &driver) watch_.deviceReturned();
  }

  QWidget* widget() override { return widget_; }

  void setFullSize(bool on) {
    if (on == fullSize_) return;
    fullSize_ = on;
    if (!driver_ || watch_.lost()) return;
    // The source starts again in its full-size mode, or back in the preview's.
    driver_->disconnect();
    if (connectTo(*driver_)) {
      watch_.reconnected();
    } else {
      enterLost("it could not start again");
    }
  }

  CAPPICTURE picture(bool fullSize) {
    CAPPICTURE p;
    p.fLive = live() ? TRUE : FALSE;
    if (!fullSize) {
      p.dwNumber = framesPainted_;
      return p;
    }
    std::shared_ptr<const StillFrame> still = driver_ && !watch_.lost() ? driver_->latestStill() : nullptr;
    if (still && still != lastStill_.lock()) ++stillsSeen_;
    lastStill_ = still;
    p.dwNumber = stillsSeen_;
    p.still = std::move(still);
    return p;
  }

  QImage* surface() override {
    syncSurface();
    return &surface_;
  }

  LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override {
    switch (Msg) {
      case WM_CAP_DRIVER_CONNECT:
        return connectDriver(wParam);
      case WM_CAP_DRIVER_DISCONNECT:
        return disconnectDriver();
      case WM_CAP_SET_SCALE:
        scale_ = wParam != 0;
        if (shown_ && !watch_.lost()) {
          paint(shown_);
          widget_->update();
        }
        return TRUE;
      case WM_CAP_SET_PREVIEWRATE:
        rateMs_ = static_cast<int>(std::clamp<WPARAM>(wParam, 1, 60000));
        timer_.setInterval(rateMs_);
        return TRUE;
      case WM_CAP_SET_PREVIEW:
        return setPreview(wParam != 0);
      case WM_CAP_GET_STATUS:
        return getStatus(wParam, lParam);
      default:
        return user32::Window::WndProc(Msg, wParam, lParam);
    }
  }

  // The surface follows the widget's size (also while the widget is hidden and
  // gets no resize events); a new surface is black, with the frame on show
  // painted into it again.
  void syncSurface() {
    if (surface_.size() == widget_->size()) return;
    blank();
    if (shown_ && !watch_.lost()) paint(shown_);
  }

 private:
  LRESULT connectDriver(WPARAM index) {
    disconnectDriver();
    const DriverList& drivers = driverList();
    if (index >= drivers.size() || !drivers[index]) return FALSE;
    std::shared_ptr<CaptureDriver> driver = drivers[index];
    if (!connectTo(*driver)) return FALSE;
    driver_ = std::move(driver);
    shown_.reset();
    framesPainted_ = 0;
    watch_.start();
    return TRUE;
  }

  bool connectTo(CaptureDriver& driver) {
    driver.setFullSize(fullSize_);
    return driver.connect(widget_->width(), widget_->height(), kConnectFps);
  }

  LRESULT disconnectDriver() {
    if (!driver_) return FALSE;
    timer_.stop();
    previewing_ = false;
    driver_->disconnect();
    driver_.reset();
    watch_.stop();
    return TRUE;
  }

  LRESULT setPreview(bool on) {
    if (!on) {
      previewing_ = false;
      timer_.stop();
      return TRUE;
    }
    if (!driver_) return FALSE;
    previewing_ = true;
    startPreview();
    return TRUE;
  }

  void startPreview() {
    timer_.start(rateMs_);
    tick();  // the frame already waiting shows now, not one period later
  }

  LRESULT getStatus(WPARAM size, LPARAM lParam) {
    auto* status = reinterpret_cast<CAPSTATUS*>(lParam);
    if (!status || size < sizeof(CAPSTATUS)) return FALSE;
    *status = CAPSTATUS{};
    // The image is the video's, as the driver delivers it.
    if (shown_) {
      status->uiImageWidth = static_cast<UINT>(shown_->width);
      status->uiImageHeight = static_cast<UINT>(shown_->height);
    }
    status->fScale = scale_ ? TRUE : FALSE;
    status->fLiveWindow = live() ? TRUE : FALSE;
    status->dwCurrentVideoFrame = framesPainted_;
    if (driver_ && driver_->hung()) status->dwReturn = IDS_CAP_DRIVER_ERROR;
    return TRUE;
  }

  // Live: previewing a source that still works and whose newest frame is
  // recent, so what the surface shows is the picture of now.
  bool live() { return driver_ && previewing_ && watch_.recent() && driver_->isLive(); }

  // Nothing may unwind through Qt's event loop: an error in one period is
  // logged, and the next period goes on.
  void previewPeriod() {
    try {
      tick();
    } catch (const std::exception& e) {
      qCWarning(cameraLog).noquote() << "Error in the preview of" << name() << ":" << e.what();
    } catch (...) {
      qCWarning(cameraLog).noquote() << "Unknown error in the preview of" << name();
    }
  }

  // One preview period: paints the driver's newest frame; notices a source
  // that failed, ended, went away or stalled; retries a lost one when due.
  void tick() {
    if (!driver_) return;
    if (watch_.lost()) {
      if (watch_.retryDue()) reconnect();
      return;
    }
    if (!driver_->isLive()) {
      enterLost("it failed, ended or is not there");
      return;
    }
    std::shared_ptr<const VideoFrame> frame = driver_->latestFrame();
    if (!frame || frame == shown_) {
      if (watch_.stalled()) enterLost(shown_ ? "it stopped sending pictures" : "it sent no first picture");
      return;
    }
    if (frame->width <= 0 || frame->height <= 0 ||
        frame->bytes() < static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height) * 4) {
      return;
    }
    shown_ = std::move(frame);
    watch_.newPicture();
    syncSurface();
    paint(shown_);
    ++framesPainted_;
    // Shown at once rather than through a posted update: at the preview rate
    // the posted event's wake-up of the event loop costs more than painting.
    widget_->repaint();
  }

  // The source is gone or frozen: release the device at once, show black
  // (never the last picture) and try again later.
  void enterLost(const char* why) {
    driver_->disconnect();
    if (watch_.lose()) qCInfo(cameraLog).noquote() << "Lost" << name() << "because" << why;
    shown_.reset();
    blank();
    widget_->update();
  }

  // Connects the same driver again; it finds its device by the device's
  // identity and takes whatever mode the device offers now.
  void reconnect() {
    if (connectTo(*driver_)) {
      watch_.reconnected();
    } else {
      watch_.lose();
    }
  }

  // The source as the log names it.
  QString name() const {
    return driver_ ? QString::fromStdString(logName(*driver_)) : QStringLiteral("no source");
  }

  // A black surface of the widget's size.
  void blank() {
    surface_ = QImage(widget_->size(), QImage::Format_RGB32);
    surface_.fill(Qt::black);
  }

  void paint(const std::shared_ptr<const VideoFrame>& shown) {
    const VideoFrame& frame = *shown;
    if (frame.width == surface_.width() && frame.height == surface_.height()) {
      // The usual case, a frame of the window's size, scaled or not: the
      // surface is the frame's own pixels, kept with the frame, so nothing is
      // copied at the preview rate. They are read-only: whatever draws on the
      // surface (a device context over it) works on a copy of its own.
      surface_ = QImage(
          frame.pixels(), frame.width, frame.height, frame.width * 4, QImage::Format_RGB32,
          [](void* kept) { delete static_cast<std::shared_ptr<const VideoFrame>*>(kept); },
          new std::shared_ptr<const VideoFrame>(shown));
      return;
    }
    const QImage image(frame.pixels(), frame.width, frame.height, frame.width * 4, QImage::Format_RGB32);
    QPainter p(&surface_);
    if (scale_) {
      // Scaled to fit, never stretched: a picture of another shape (a wide
      // camera's) gets black bars.
      const QSize fitted = image.size().scaled(surface_.size(), Qt::KeepAspectRatio);
      const QRect target(
          QPoint((surface_.width() - fitted.width()) / 2, (surface_.height() - fitted.height()) / 2), fitted);
      if (target != surface_.rect()) p.fillRect(surface_.rect(), Qt::black);
      p.drawImage(target, image);
    } else {
      if (image.width() < surface_.width() || image.height() < surface_.height())
        p.fillRect(surface_.rect(), Qt::black);
      p.drawImage(0, 0, image);
    }
  }

  CaptureWidget* widget_;
  QImage surface_;
  QTimer timer_;
  std::shared_ptr<CaptureDriver> driver_;
  std::shared_ptr<const VideoFrame> shown_;
  bool scale_ = false;
  bool previewing_ = false;
  SourceWatch watch_;
  int rateMs_ = kDefaultPreviewRateMs;
  DWORD framesPainted_ = 0;
  bool fullSize_ = false;
  // Only to tell a new picture: the still holds one of the source's buffers,
  // which must not outlive its session.
  std::weak_ptr<const StillFrame> lastStill_;
  DWORD stillsSeen_ = 0;
};

CaptureWindow* captureWindow(HWND hwnd) { return dynamic_cast<CaptureWindow*>(user32::fromHandle(hwnd)); }

void CaptureWidget::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.drawImage(event->rect(), *owner_.surface(), event->rect());
}

void CaptureWidget::resizeEvent(QResizeEvent* event) {
  owner_.syncSurface();
  QWidget::resizeEvent(event);
}

// Follows the installed provider's devices for the capture service, which
// alone changes its list and tells its windows.
class ProviderWatch : public DriverObserver {
 public:
  void driverAdded(std::shared_ptr<CaptureDriver> driver, size_t index) override {
    DriverList& list = registry();
    list.insert(list.begin() + static_cast<ptrdiff_t>(std::min(index, list.size())), std::move(driver));
  }
  void deviceRemoved(const CaptureDriver& driver) override {
    for (CaptureWindow* w : windows()) w->deviceRemoved(driver);
  }
  void deviceReturned(const CaptureDriver& driver) override {
    for (CaptureWindow* w : windows()) w->deviceReturned(driver);
  }
};

std::shared_ptr<DriverProvider>& provider() {
  static std::shared_ptr<DriverProvider> installed;
  return installed;
}

void stopWatching() {
  if (!provider()) return;
  provider()->watch(nullptr);
  provider().reset();
}

}  // namespace

void setDrivers(DriverList drivers) {
  stopWatching();
  registry() = std::move(drivers);
}

void installProvider(std::shared_ptr<DriverProvider> p) {
  static ProviderWatch watch;
  stopWatching();
  registry() = p->drivers();
  provider() = std::move(p);
  provider()->watch(&watch);
}

void resetDrivers() {
  stopWatching();
  registry().clear();
}

const DriverList& driverList() { return registry(); }

// Stands in for capGetDriverDescriptionA.
BOOL capGetDriverDescriptionA(UINT wDriverIndex, char* lpszName, int cbName, char* lpszVer, int cbVer) {
  const DriverList& drivers = driverList();
  if (wDriverIndex >= drivers.size() || !drivers[wDriverIndex]) return FALSE;
  const CaptureDriver& driver = *drivers[wDriverIndex];
  copyText(driver.description(), lpszName, cbName);
  copyText(driver.version(), lpszVer, cbVer);
  return TRUE;
}

BOOL capSetFullSize(HWND hwnd, BOOL fFullSize) {
  CaptureWindow* window = captureWindow(hwnd);
  if (!window) return FALSE;
  window->setFullSize(fFullSize != FALSE);
  return TRUE;
}

BOOL capGetPicture(HWND hwnd, BOOL fFullSize, CAPPICTURE* picture) {
  CaptureWindow* window = captureWindow(hwnd);
  if (!window || !picture) return FALSE;
  *picture = window->picture(fFullSize != FALSE);
  return TRUE;
}

// Stands in for capCreateCaptureWindowA.
HWND capCreateCaptureWindowA(const char* lpszWindowName, DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                             HWND hwndParent, int /*nID*/) {
  QWidget* parent = nullptr;
  if (hwndParent) {
    user32::Window* owner = user32::fromHandle(hwndParent);
    if (!owner || !owner->widget()) return nullptr;
    parent = owner->widget();
  }
  auto* window = new CaptureWindow(parent, QString::fromUtf8(lpszWindowName ? lpszWindowName : ""),
                                   QRect(x, y, std::max(nWidth, 0), std::max(nHeight, 0)));
  HWND hwnd = user32::registerWindow(window, true);
  if (dwStyle & user32::WS_VISIBLE) window->widget()->show();
  return hwnd;
}

}  // namespace avicap32
