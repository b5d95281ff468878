#include "app/frmMain.h"

#include <algorithm>
#include <exception>
#include <random>
#include <string>

#include "app/modTopmost.h"
#include "capture/modWebCam.h"
#include "grab/modBitBlt.h"
#include "platform/avicap32.h"
#include "platform/user32.h"
#include "platform/vba.h"

using namespace modTopmost;
using modWebCam::capWindow;

namespace {

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;

std::string CapturedFolder() {
  std::string folder = vba::AppPath();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder + "captured";
}

// A name for the file being written, unique enough that two copies of the
// program writing into one folder never share it. It does not end in ".bmp",
// so a ".bmp" name only ever holds a complete frame.
std::string TempName(const std::string& folder) {
  static std::mt19937_64 random{std::random_device{}()};
  static const char* const digits = "0123456789abcdef";
  std::string name = folder + "/.~frame-";
  for (uint64_t r = random(), i = 0; i < 16; ++i, r >>= 4) name += digits[r & 15];
  return name + ".tmp";
}

// What went wrong, in a few words, for the status line.
std::string SaveFailure(const vba::RuntimeError& e, const std::string& folder) {
  switch (e.Number()) {
    case vba::vbErrDiskFull:
      return "Disk full, frame not saved in " + folder;
    case vba::vbErrPathNotFound:
      return "Cannot reach folder " + folder;
    default:
      return "Cannot save frame in " + folder + " (" + e.what() + ")";
  }
}

// Removes a half-written frame; it never ends in ".bmp", so one that cannot
// be removed is still never taken for a frame.
void RemoveTemp(const std::string& temp) {
  if (temp.empty() || vba::Dir(temp).empty()) return;
  try {
    vba::Kill(temp);
  } catch (const vba::RuntimeError&) {
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

void frmMain::cmdStart_Click() {
  SetWindowPos(hWnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  vba::MsgBox("Captured frames will be saved in " + CapturedFolder() + "/", vba::vbOKOnly, "");
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

bool frmMain::sourceLive() {
  if (!user32::IsWindow(capWindow) || modWebCam::PreviewIsLive()) {
    lostSince_.reset();
    return modWebCam::PreviewIsLive();
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
  const bool bound = user32::IsWindow(capWindow);
  const bool live = sourceLive();
  if (elapsedSecs >= interval_) {
    if (bound && !live) {
      elapsedSecs = 0;
    } else if (saveframe()) {
      elapsedSecs = 0;
    }
  }
}

bool frmMain::saveframe() {
  const std::string folder = CapturedFolder();
  // Without a live picture a grab would save a black or stale frame.
  if (!modWebCam::PreviewIsLive()) {
    lblStatus.SetCaption("No source connected, frame not saved.");
    return false;
  }
  std::string temp;
  try {
    if (vba::Dir(folder, vba::vbDirectory).empty()) {
      try {
        vba::MkDir(folder);
      } catch (const vba::RuntimeError&) {
        // Another copy of the program may have made it a moment ago.
        if (vba::Dir(folder, vba::vbDirectory).empty()) throw;
      }
    }
    if (!vba::Dir(folder, vba::vbNormal).empty()) {
      lblStatus.SetCaption("A file named captured blocks " + folder);
      return false;
    }
    HDC surface = user32::GetDC(capWindow);
    try {
      Image1.SetPicture(modBitBlt::GrabSurface(surface, 0, 0, kFrameWidth, kFrameHeight));
    } catch (...) {
      user32::ReleaseDC(capWindow, surface);
      throw;
    }
    user32::ReleaseDC(capWindow, surface);

    // Date and time from one reading, so a frame taken at midnight is not
    // named with the old day's date and the new day's time.
    const vba::DateTime now = vba::Now();
    const std::string base = folder + "/" + vba::Format(now, "dd_MM_yyyy") + " " + vba::Format(now, "hhmmss");

    temp = TempName(folder);
    vba::SavePicture(Image1.Picture(), temp);
    // Claim the first free name: a clock set back, two frames in one second
    // or another copy of the program never replace an earlier frame.
    for (int n = 1;; ++n) {
      const std::string name = n == 1 ? base + ".bmp" : base + "_" + vba::CStr(n) + ".bmp";
      try {
        vba::Name(temp, name);
        return true;
      } catch (const vba::RuntimeError& e) {
        if (e.Number() != vba::vbErrFileAlreadyExists) throw;
      }
    }
  } catch (const vba::RuntimeError& e) {
    RemoveTemp(temp);
    lblStatus.SetCaption(SaveFailure(e, folder));
  } catch (const std::exception& e) {
    RemoveTemp(temp);
    lblStatus.SetCaption("Cannot save frame in " + folder + " (" + e.what() + ")");
  }
  return false;
}
