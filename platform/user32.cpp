#include "platform/user32.h"

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <QWindow>
#include <map>

#include "platform/gdi32.h"

namespace user32 {
namespace {

// Window handles carry this tag in their top bits so that they never collide
// with the special placement values (0, 1, -1, -2) or other kinds' handles.
constexpr uintptr_t kWindowTag = 0x10000000;

struct Entry {
  Window* window = nullptr;
  bool owned = false;
  QPointer<QWidget> widget;
  QMetaObject::Connection onDestroyed;
};

struct Table {
  std::map<uintptr_t, Entry> windows;
  std::map<HDC, HWND> borrowedDCs;
  uintptr_t next = 1;
};

Table& table() {
  static Table t;
  return t;
}

uintptr_t idOf(HWND h) { return reinterpret_cast<uintptr_t>(h); }
HWND handleOf(uintptr_t id) { return reinterpret_cast<HWND>(id); }

// Device contexts borrowed from a window die with it: they point at its surface.
void releaseBorrowedDCs(HWND h) {
  auto& dcs = table().borrowedDCs;
  for (auto dc = dcs.begin(); dc != dcs.end();) {
    if (dc->second == h) {
      gdi32::releaseSurfaceDC(dc->first);
      dc = dcs.erase(dc);
    } else {
      ++dc;
    }
  }
}

Entry* find(HWND h) {
  auto it = table().windows.find(idOf(h));
  return it == table().windows.end() ? nullptr : &it->second;
}

// Moves a top-level window into or out of the topmost band. A shown window
// keeps its native window: the new flags go to the window system directly
// (on X11 as _NET_WM_STATE_ABOVE), so it is neither re-created nor re-shown.
void setTopmost(QWidget* w, bool on) {
  Qt::WindowFlags flags = w->windowFlags();
  flags.setFlag(Qt::WindowStaysOnTopHint, on);
  if (w->windowHandle()) {
    w->overrideWindowFlags(flags);
    w->windowHandle()->setFlags(flags);
  } else {
    w->setWindowFlags(flags);
  }
}

}  // namespace

LRESULT Window::WndProc(UINT, WPARAM, LPARAM) { return 0; }

HWND registerWindow(Window* window, bool owned) {
  Table& t = table();
  const uintptr_t id = kWindowTag | t.next++;
  Entry& e = t.windows[id];
  e.window = window;
  e.owned = owned;
  e.widget = window->widget();
  if (e.widget) {
    e.onDestroyed = QObject::connect(e.widget, &QObject::destroyed, [id] {
      auto it = table().windows.find(id);
      if (it == table().windows.end()) return;
      Entry gone = it->second;
      table().windows.erase(it);
      releaseBorrowedDCs(handleOf(id));
      if (gone.owned) delete gone.window;
    });
  }
  return handleOf(id);
}

void unregisterWindow(HWND hWnd) {
  auto it = table().windows.find(idOf(hWnd));
  if (it == table().windows.end()) return;
  QObject::disconnect(it->second.onDestroyed);
  table().windows.erase(it);
  releaseBorrowedDCs(hWnd);
}

Window* fromHandle(HWND hWnd) {
  Entry* e = find(hWnd);
  return e ? e->window : nullptr;
}

int liveWindowCount() { return static_cast<int>(table().windows.size()); }

// Stands in for SetWindowPos: z-order (topmost or not, bottom, top), position and size.
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
  Entry* e = find(hWnd);
  if (!e || !e->widget) return FALSE;
  QWidget* w = e->widget;
  if (!(uFlags & SWP_NOZORDER)) {
    if (w->isWindow() && (hWndInsertAfter == HWND_TOPMOST || hWndInsertAfter == HWND_NOTOPMOST)) {
      setTopmost(w, hWndInsertAfter == HWND_TOPMOST);
    } else if (hWndInsertAfter == HWND_BOTTOM) {
      w->lower();
    } else if (hWndInsertAfter == HWND_TOP) {
      w->raise();
    }
  }
  if (!(uFlags & SWP_NOMOVE)) w->move(X, Y);
  if (!(uFlags & SWP_NOSIZE)) w->resize(std::max(cx, 0), std::max(cy, 0));
  return TRUE;
}

// Stands in for SendMessageA: hands the message to the window's procedure.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* w = fromHandle(hWnd);
  return w ? w->WndProc(Msg, wParam, lParam) : 0;
}

// Stands in for DestroyWindow.
BOOL DestroyWindow(HWND hWnd) {
  auto it = table().windows.find(idOf(hWnd));
  if (it == table().windows.end()) return FALSE;
  Entry e = it->second;
  QObject::disconnect(e.onDestroyed);
  table().windows.erase(it);
  releaseBorrowedDCs(hWnd);
  if (e.owned) {
    delete e.widget.data();
    delete e.window;
  } else if (e.widget) {
    e.widget->hide();
  }
  return TRUE;
}

// Stands in for IsWindow.
BOOL IsWindow(HWND hWnd) { return find(hWnd) ? TRUE : FALSE; }

HDC GetDC(HWND hWnd) {
  Entry* e = find(hWnd);
  QImage* surface = e ? e->window->surface() : nullptr;
  if (!surface) return nullptr;
  HDC dc = gdi32::createSurfaceDC(surface);
  if (dc) table().borrowedDCs[dc] = hWnd;
  return dc;
}

// Stands in for ReleaseDC.
int ReleaseDC(HWND hWnd, HDC hDC) {
  auto it = table().borrowedDCs.find(hDC);
  if (it == table().borrowedDCs.end() || it->second != hWnd) return 0;
  table().borrowedDCs.erase(it);
  return gdi32::releaseSurfaceDC(hDC) ? 1 : 0;
}

}  // namespace user32
