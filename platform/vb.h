#pragma once
// Stand-in for the forms runtime's window and controls: the form, its
// controls laid out in twips (15 to a pixel), the timer, the event loop and the
// dispatch of events to handlers.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/olepro32.h"
#include "platform/windef.h"

class QAction;
class QWidget;

namespace vb {

constexpr int TwipsPerPixel = 15;

class Form;

// Runs an event handler the way the runtime delivers events: an error that
// leaves the handler is reported on standard error and the program goes on.
void dispatch(const char* eventName, const std::function<void()>& handler);

// Stands in for the runtime's start-up and event loop; one per process.
class Application {
 public:
  Application(int& argc, char** argv);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  // Loads and shows the start form and runs the event loop until it is gone.
  // A request to end (SIGTERM) ends it as the end of the desktop session does.
  int Run(Form& startForm);
  // Catches SIGTERM from now on, to be acted on once Run's loop runs: called
  // first thing, so a request that comes while the program starts is not
  // the default's sudden death. Run calls it too.
  static void CatchTerminate();

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Stands in for what every control has: position, size, tab index, hWnd.
class Control {
 public:
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  // Position and size in twips, as stored.
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // -1 for controls that take no focus.
  int TabIndex() const { return tabIndex_; }
  HWND hWnd() const;
  QWidget* widget() const { return widget_; }

 protected:
  Control(Form& form, QWidget* widget, int left, int top, int width, int height, int tabIndex);
  Form& form_;

 private:
  QWidget* widget_;
  HWND hwnd_ = nullptr;
  int left_, top_, width_, height_, tabIndex_;
};

// Stands in for the ListBox control, with its property and method names.
class ListBox : public Control {
 public:
  ListBox(Form& form, int left, int top, int width, int height, int tabIndex);
  void Clear();
  void AddItem(const std::string& item);
  int ListCount() const;
  // The current entry; -1 when there is none.
  int ListIndex() const;
  // Selects entry i (making it current); -1 clears the selection.
  void SetListIndex(int i);
  std::string List(int i) const;
};

// Stands in for the TextBox control.
class TextBox : public Control {
 public:
  TextBox(Form& form, int left, int top, int width, int height, int tabIndex, const std::string& text);
  std::string Text() const;
  void SetText(const std::string& text);
};

// Stands in for the Label control.
class Label : public Control {
 public:
  Label(Form& form, int left, int top, int width, int height, int tabIndex, const std::string& caption,
        bool wordWrap = false);
  std::string Caption() const;
  void SetCaption(const std::string& caption);
};

// Stands in for the CommandButton control.
class CommandButton : public Control {
 public:
  CommandButton(Form& form, int left, int top, int width, int height, int tabIndex,
                const std::string& caption);
  std::string Caption() const;
  // Handler of the Click event.
  std::function<void()> OnClick;
  // Clicks the button as the user would (the handler runs through dispatch).
  void Click();
};

// Stands in for the PictureBox control: borderless and measured in pixels,
// so its inner size is its size.
class PictureBox : public Control {
 public:
  PictureBox(Form& form, int left, int top, int width, int height, int tabIndex);
  float ScaleWidth() const;
  float ScaleHeight() const;
};

// Stands in for the Image control: holds a picture; does not draw it.
class Image : public Control {
 public:
  Image(Form& form, int left, int top, int width, int height);
  const olepro32::StdPicture& Picture() const { return picture_; }
  // Replacing the picture releases the previous one.
  void SetPicture(olepro32::StdPicture picture) { picture_ = std::move(picture); }

 private:
  olepro32::StdPicture picture_;
};

// Stands in for the Timer control: ticks on the ideal timeline from the moment it is enabled
// (precise, so no lateness accumulates). Ticks held up by a busy UI thread are delivered late,
// one after the other, never dropped.
class Timer {
 public:
  Timer(Form& form, int intervalMs);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  int Interval() const;
  bool Enabled() const;
  void SetEnabled(bool enabled);
  // Handler of the Timer event.
  std::function<void()> OnTimer;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Stands in for the Menu control: an entry on the form's menu bar, or an item
// of another menu. A menu that is given items of its own opens them as a
// submenu. The caption marks its access key with "&" ("&File": Alt+F); a
// caption of "-" makes a separator. Like every control it is created with
// the form and lives as long as it.
class Menu {
 public:
  // An entry on the form's menu bar (the bar appears with the first one).
  Menu(Form& form, const std::string& caption);
  // An item of parent, after the items made before it.
  Menu(Menu& parent, const std::string& caption);
  ~Menu();
  Menu(const Menu&) = delete;
  Menu& operator=(const Menu&) = delete;
  std::string Caption() const;
  void SetCaption(const std::string& caption);
  // A check mark beside the caption; clicking does not change it, the Click
  // handler does.
  bool Checked() const;
  void SetChecked(bool checked);
  bool Enabled() const;
  void SetEnabled(bool enabled);
  // Handler of the Click event, delivered for items without items of their own.
  std::function<void()> OnClick;
  // Clicks the item as the user would (the handler runs through dispatch).
  void Click();
  // The menu's action in the toolkit, for tests and screenshots.
  QAction* action() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Why a form is unloading, as Form_QueryUnload is told.
constexpr int vbFormControlMenu = 0;  // the user closed the window
constexpr int vbAppWindows = 2;       // the desktop session is ending
constexpr int vbAppTaskManager = 3;   // the program was asked to end (SIGTERM)

// Stands in for a form: the window, its load, query-unload and terminate
// events, unloading.
class Form {
 public:
  // Client size in twips.
  Form(const std::string& caption, int clientWidth, int clientHeight);
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  HWND hWnd() const;
  // The window, menu bar and all.
  QWidget* widget() const;
  // The client area below the menu bar, where the controls sit and the
  // background is painted; the whole window while the form has no menu.
  QWidget* client() const;
  std::string Caption() const;
  int ScaleWidth() const;   // client width, twips
  int ScaleHeight() const;  // client height, twips
  // 0x00BBGGRR, as the platform writes colours.
  void SetBackColor(uint32_t color);
  // A picture drawn unscaled at the client area's top-left corner; a Qt
  // resource path such as ":/banner.jpg".
  void SetPicture(const std::string& resource);
  void SetIcon(const std::string& resource);

  // Delivers Load once (through dispatch); Show loads first when needed.
  void Load();
  void Show();
  bool Loaded() const;
  // Closes the window as the user would: delivers Terminate (through
  // dispatch), which is expected to unload the form; the window closes anyway.
  void Close();
  // Unloads the form: the window is hidden and gone from the event loop.
  void Unload();

 protected:
  virtual void Form_Load() {}
  // Before Terminate: why the form is going (vbFormControlMenu, ...). The
  // runtime's Cancel is left out: nothing here keeps a window from closing.
  virtual void Form_QueryUnload(int /*UnloadMode*/) {}
  virtual void Form_Terminate() {}

 private:
  friend class Control;
  friend class Menu;
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace vb
