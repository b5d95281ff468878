#pragma once
// Stand-in for the window manager library: window handles, placement,
// messages and the drawing surfaces of windows, over Qt widgets.
#include <memory>

#include "platform/windef.h"

class QWidget;
class QImage;

namespace user32 {

inline HWND const HWND_TOP = nullptr;
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(1);
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(-1);
inline HWND const HWND_NOTOPMOST = reinterpret_cast<HWND>(-2);

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;

constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;

constexpr UINT WM_USER = 0x0400;

// SetWindowPos: top-level windows move into or out of the topmost band
// (HWND_TOPMOST / HWND_NOTOPMOST) without being moved, resized or re-shown;
// child windows are moved and resized within their parent.
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
// SendMessageA: delivers a message to the window's procedure; 0 for unknown windows.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// DestroyWindow: destroys a window made by the platform (such as a capture window).
BOOL DestroyWindow(HWND hWnd);
// IsWindow: whether the handle names a live window.
BOOL IsWindow(HWND hWnd);
// GetDC: a device context over the window's drawing surface; 0 when the window has none.
HDC GetDC(HWND hWnd);
// ReleaseDC: gives back a device context from GetDC; 1 when released.
int ReleaseDC(HWND hWnd, HDC hDC);

// ---------------------------------------------------------------------------
// For the other stand-ins in platform/ only: the window table.

// What a window is to the table: a widget, optionally a drawing surface, and a
// window procedure.
class Window {
 public:
  virtual ~Window() = default;
  virtual QWidget* widget() = 0;
  // The image that the window shows, at the window's size; null when the
  // window cannot be drawn on.
  virtual QImage* surface() { return nullptr; }
  virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);
};

// Enters a window into the table and gives it a handle never used before in
// this run. For a window registered with owned = true the table owns both the
// Window and its widget: DestroyWindow deletes the widget, then the Window.
// When Qt destroys a registered widget (with its parent), the table forgets it
// and deletes an owned Window; so a Window's destructor must not touch its
// widget. Windows registered with owned = false are only forgotten, by
// unregisterWindow or when their widget goes.
HWND registerWindow(Window* window, bool owned);
void unregisterWindow(HWND hWnd);
Window* fromHandle(HWND hWnd);
// Number of windows in the table (tests prove no window is left behind).
int liveWindowCount();

}  // namespace user32
