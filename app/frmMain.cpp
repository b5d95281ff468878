#include "app/frmMain.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <string>

#include "app/modTopmost.h"
#include "capture/modWebCam.h"
#include "grab/modBitBlt.h"
#include "platform/avicap32.h"
#include "platform/framefolder.h"
#include "platform/gstcapture.h"
#include "platform/shell32.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "video/videodialog.h"

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
  tmrSources.OnTimer = [this] { tmrSources_Timer(); };
  mnuFileOpenFolder.OnClick = [this] { mnuFileOpenFolder_Click(); };
  mnuFileMakeVideo.OnClick = [this] { mnuFileMakeVideo_Click(); };
  mnuFileQuit.OnClick = [this] { Close(); };
  mnuHelpAbout.OnClick = [this] { mnuHelpAbout_Click(); };
}

void frmMain::Form_Load() {
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  elapsedSecs = 0;
  modWebCam::FillSourceList(List1);
  if (List1.ListCount() > 0) List1.SetListIndex(0);
  tmrSources.SetEnabled(true);
}

void frmMain::tmrSources_Timer() {
  // Sources are only ever added (a lost camera keeps its entry), so a driver
  // at the index after the last entry means the list has grown. The entry
  // chosen stays chosen.
  char name[100];
  char ver[100];
  if (!avicap32::capGetDriverDescriptionA(static_cast<UINT>(List1.ListCount()), name, 100, ver, 100)) return;
  const int chosen = List1.ListIndex();
  const std::string chosenName = chosen >= 0 ? List1.List(chosen) : std::string();
  modWebCam::FillSourceList(List1);
  for (int i = 0; i < List1.ListCount(); ++i) {
    if (chosen >= 0 && List1.List(i) == chosenName) {
      List1.SetListIndex(i);
      return;
    }
  }
  List1.SetListIndex(std::min(chosen, List1.ListCount() - 1));
}

int frmMain::boxAside(const std::string& prompt, int buttons, const std::string& title) {
  SetWindowPos(hWnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const int pressed = vba::MsgBox(prompt, buttons, title);
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return pressed;
}

void frmMain::cmdStart_Click() {
  boxAside("Captured frames will be saved in " + framefolder::capturedFolder() + "/", vba::vbOKOnly, "");
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

void frmMain::mnuFileOpenFolder_Click() {
  const std::string folder = savingFolder();
  try {
    makeFolder(folder);
  } catch (const vba::RuntimeError&) {
    // Reported below: the folder cannot be opened.
  }
  const HINSTANCE opened =
      shell32::ShellExecuteA(hWnd(), "open", folder.c_str(), nullptr, nullptr, shell32::SW_SHOWNORMAL);
  if (reinterpret_cast<intptr_t>(opened) <= 32) {
    boxAside("Cannot open the frames folder " + folder, vba::vbExclamation, "Ferrowick");
  }
}

void frmMain::mnuFileMakeVideo_Click() {
  // The dialog stays up while the video is made, and the window's timers go
  // on meanwhile: the window leaves the topmost band so it does not hide it.
  SetWindowPos(hWnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const std::optional<video::Made> made = video::runMakeVideoDialog(framefolder::capturedFolder());
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (!made) return;
  if (boxAside(made->summary + "\n\nOpen the folder it is in?", vba::vbYesNo | vba::vbInformation,
               "Make video") != vba::vbYes) {
    return;
  }
  const std::string folder = std::filesystem::path(made->file).parent_path().string();
  const HINSTANCE opened =
      shell32::ShellExecuteA(hWnd(), "open", folder.c_str(), nullptr, nullptr, shell32::SW_SHOWNORMAL);
  if (reinterpret_cast<intptr_t>(opened) <= 32) {
    boxAside("Cannot open the folder " + folder, vba::vbExclamation, "Ferrowick");
  }
}

void frmMain::mnuHelpAbout_Click() {
  boxAside(std::string("Ferrowick ") + FERROWICK_VERSION +
               "\n\nTime-lapse photography with a webcam: a still every interval, named by date and "
               "time.\n\nCapture through " +
               gstcapture::versionText() + ".",
           vba::vbInformation, "About Ferrowick");
}

bool frmMain::sourceLive() {
  if (!user32::IsWindow(capWindow) || modWebCam::previewIsLive()) {
    lostSince_.reset();
    return modWebCam::previewIsLive();
  }
  if (!lostSince_) lostSince_ = vba::Now();
  const vba::DateTime now = vba::Now();
  const bool today =
      lostSince_->year == now.year && lostSince_->month == now.month && lostSince_->day == now.day;
  lblStatus.SetCaption("Source lost since " +
                       vba::Format(*lostSince_, today ? "hh:nn:ss" : "dd/MM/yyyy hh:nn:ss") +
                       ", waiting for it to return.");
  return false;
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
  // A bound source that is lost (failed, gone or frozen) is reported on
  // every tick instead of the countdown; the frame due meanwhile is skipped,
  // so frames go on falling on the schedule once it is back.
  // Likewise when the picture is the one saved last: ticks that a busy UI
  // thread held up arrive one after the other, with no new picture painted
  // between them, and the same picture must not be saved twice as if new.
  const bool bound = user32::IsWindow(capWindow);
  const bool live = sourceLive();
  if (elapsedSecs >= interval_) {
    const bool savedAlready =
        bound && capWindow == savedWindow_ && modWebCam::previewFrameNumber() == savedFrame_;
    if ((bound && !live) || savedAlready) {
      elapsedSecs = 0;
    } else if (saveframe()) {
      elapsedSecs = 0;
      savedWindow_ = capWindow;
      savedFrame_ = modWebCam::previewFrameNumber();
    }
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
