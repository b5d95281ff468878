#include "app/frmMain.h"

#include <cmath>
#include <exception>
#include <string>

#include "app/modTopmost.h"
#include "capture/modWebCam.h"
#include "grab/modBitBlt.h"
#include "platform/framefolder.h"
#include "platform/user32.h"
#include "platform/vba.h"

using namespace modTopmost;
using modWebCam::capWindow;

namespace {

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;

// The folder a save writes into, with the folders above it made when it lies
// in the user's pictures folder.
std::string savingFolder() {
  const std::string folder = framefolder::capturedFolder();
  framefolder::makeParentFolders(folder);
  return folder;
}

// The space left on the folder's disk, in megabytes, for the status line.
std::string spaceLeft(const std::string& folder) {
  try {
    const double megabytes = static_cast<double>(vba::diskSpace(folder).available) / (1024.0 * 1024.0);
    return vba::CStr(std::round(megabytes * 10) / 10) + " MB left";
  } catch (const vba::RuntimeError&) {
    return "no space left";
  }
}

// What went wrong, in a few words, for the status line.
std::string saveFailure(const vba::RuntimeError& e, const std::string& folder) {
  switch (e.Number()) {
    case vba::vbErrDiskFull:
      // Short, so it fits the status line: the Start box said where frames go.
      return "Disk almost full (" + spaceLeft(folder) + "), frame not saved.";
    case vba::vbErrPathNotFound:
      return "Cannot reach folder " + folder;
    default:
      return "Cannot save frame in " + folder + " (" + e.what() + ")";
  }
}

// Creates the folder when nothing of its name exists.
void makeFolder(const std::string& folder) {
  if (!vba::Dir(folder, vba::vbDirectory).empty()) return;
  try {
    vba::MkDir(folder);
  } catch (const vba::RuntimeError&) {
    // Another copy of the program may have made it a moment ago.
    if (vba::Dir(folder, vba::vbDirectory).empty()) throw;
  }
}

}  // namespace

frmMain::frmMain() : vb::Form("Ferrowick v 0.1", 8535, 5220) {
  SetBackColor(0x00FFFFFF);
  SetPicture(":/banner.jpg");
  SetIcon(":/icon.png");
  cmdStart.OnClick = [this] { cmdStart_Click(); };
  cmdStop.OnClick = [this] { cmdStop_Click(); };
  tmrCapture.OnTimer = [this] { tmrCapture_Timer(); };
}

void frmMain::Form_Load() {
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  elapsedSecs = 0;
  modWebCam::FillSourceList(List1);
  if (List1.ListCount() > 0) List1.SetListIndex(0);
}

void frmMain::cmdStart_Click() {
  SetWindowPos(hWnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  vba::MsgBox("Captured frames will be saved in " + framefolder::capturedFolder() + "/", vba::vbOKOnly, "");
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (List1.ListCount() == 0) return;
  if (List1.ListIndex() == -1) return;
  // A second Start while running rebinds: the current capture window and its
  // source are released first, so there is never more than one.
  modWebCam::StopPreview();
  modWebCam::StartPreview(List1.ListIndex(), Picture1);
  tmrCapture.SetEnabled(true);
}

void frmMain::cmdStop_Click() {
  tmrCapture.SetEnabled(false);
  modWebCam::StopPreview();
}

void frmMain::Form_Terminate() {
  modWebCam::StopPreview();
  Unload();
}

void frmMain::tmrCapture_Timer() {
  elapsedSecs = elapsedSecs + 1.0;
  // The interval is read afresh each tick. A text that is not a valid
  // interval (as while the user retypes it) leaves the last valid one in force.
  const std::string typed = txtTmr.Text();
  bool valid = true;
  try {
    const double shown = vba::CDbl(typed);
    const int16_t interval = vba::CInt(typed);
    intervalShown_ = shown;
    interval_ = interval;
  } catch (const vba::RuntimeError&) {
    valid = false;
  }
  const double remaining = intervalShown_ - elapsedSecs;
  if (valid) {
    lblStatus.SetCaption("Time till next capture: " + vba::CStr(remaining) + " secs.");
  } else {
    lblStatus.SetCaption("Interval not valid, using " + vba::CStr(intervalShown_) + ": " +
                         vba::CStr(remaining) + " secs.");
  }
  if (elapsedSecs >= interval_) {
    if (saveframe()) elapsedSecs = 0;
  }
}

bool frmMain::saveframe() {
  const std::string folder = savingFolder();
  // Without a live picture a grab would save a black or stale frame.
  if (!modWebCam::previewIsLive()) {
    lblStatus.SetCaption("No source connected, frame not saved.");
    return false;
  }
  try {
    makeFolder(folder);
    if (!vba::Dir(folder, vba::vbNormal).empty()) {
      lblStatus.SetCaption("A file named captured blocks " + folder);
      return false;
    }
    grabFrame();
    // Date and time from one reading, so a frame taken at midnight is not
    // named with the old day's date and the new day's time.
    const vba::DateTime now = vba::Now();
    vba::savePictureUnderFreeName(Image1.Picture(), folder,
                                  vba::Format(now, "dd_MM_yyyy") + " " + vba::Format(now, "hhmmss"));
    return true;
  } catch (const vba::RuntimeError& e) {
    lblStatus.SetCaption(saveFailure(e, folder));
  } catch (const std::exception& e) {
    lblStatus.SetCaption("Cannot save frame in " + folder + " (" + e.what() + ")");
  }
  return false;
}

void frmMain::grabFrame() {
  HDC surface = user32::GetDC(capWindow);
  try {
    Image1.SetPicture(modBitBlt::GrabSurface(surface, 0, 0, kFrameWidth, kFrameHeight));
  } catch (...) {
    user32::ReleaseDC(capWindow, surface);
    throw;
  }
  user32::ReleaseDC(capWindow, surface);
}
