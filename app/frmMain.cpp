#include "app/frmMain.h"

#include <algorithm>
#include <exception>
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

using namespace modTopmost;
using modWebCam::capWindow;

namespace {

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;

// Where the frame options are remembered.
constexpr const char* kAppName = "Ferrowick";
constexpr const char* kFramesSection = "Frames";

// The folder a save writes into, with the folders above it made when it lies
// in the user's pictures folder.
std::string savingFolder() {
  const std::string folder = framefolder::capturedFolder();
  framefolder::makeParentFolders(folder);
  return folder;
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
  mnuFileQuit.OnClick = [this] { Close(); };
  mnuHelpAbout.OnClick = [this] { mnuHelpAbout_Click(); };
  mnuCaptureSizePreview.OnClick = [this] { setFrameOption("Size", "Preview"); };
  mnuCaptureSizeFull.OnClick = [this] { setFrameOption("Size", "Full"); };
  mnuCaptureFormatBmp.OnClick = [this] { setFrameOption("Format", "BMP"); };
  mnuCaptureFormatPng.OnClick = [this] { setFrameOption("Format", "PNG"); };
  mnuCaptureFormatJpeg.OnClick = [this] { setFrameOption("Format", "JPEG"); };
  mnuCaptureStamp.OnClick = [this] {
    setFrameOption("TimeStamp", frameOptions_.timeStamp ? "False" : "True");
  };
}

void frmMain::Form_Load() {
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  elapsedSecs = 0;
  modWebCam::FillSourceList(List1);
  if (List1.ListCount() > 0) List1.SetListIndex(0);
  tmrSources.SetEnabled(true);
  loadFrameOptions();
}

void frmMain::loadFrameOptions() {
  for (const char* key : {"Size", "Format", "TimeStamp"}) {
    applyFrameOption(key, vba::GetSetting(kAppName, kFramesSection, key));
  }
  showFrameOptions();
}

// A value not known (none stored, or from another version) is the default.
void frmMain::applyFrameOption(const std::string& key, const std::string& value) {
  if (key == "Size") {
    fullSize_ = value == "Full";
    modWebCam::SetFullSize(fullSize_);
  }
  if (key == "TimeStamp") frameOptions_.timeStamp = value == "True";
  if (key == "Format") {
    frameOptions_.format = value == "PNG"    ? framestore::Format::Png
                           : value == "JPEG" ? framestore::Format::Jpeg
                                             : framestore::Format::Bmp;
  }
}

void frmMain::setFrameOption(const std::string& key, const std::string& value) {
  applyFrameOption(key, value);
  showFrameOptions();
  try {
    vba::SaveSetting(kAppName, kFramesSection, key, value);
  } catch (const vba::RuntimeError& e) {
    // The option holds for this run all the same.
    lblStatus.SetCaption(std::string("Cannot remember the option: ") + e.what());
  }
}

void frmMain::showFrameOptions() {
  mnuCaptureSizePreview.SetChecked(!fullSize_);
  mnuCaptureSizeFull.SetChecked(fullSize_);
  mnuCaptureFormatBmp.SetChecked(frameOptions_.format == framestore::Format::Bmp);
  mnuCaptureFormatPng.SetChecked(frameOptions_.format == framestore::Format::Png);
  mnuCaptureFormatJpeg.SetChecked(frameOptions_.format == framestore::Format::Jpeg);
  mnuCaptureStamp.SetChecked(frameOptions_.timeStamp);
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
  const std::string folder = framefolder::capturedFolder();
  boxAside("Captured frames will be saved in " + folder + "/", vba::vbOKOnly, "");
  if (List1.ListCount() == 0) return;
  if (List1.ListIndex() == -1) return;
  // The folder the box named is the run's, whatever happens to it.
  frameStore.start(folder);
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
  // The run's folder once there is a run.
  const std::string folder = frameStore.folder().empty() ? savingFolder() : frameStore.folder();
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
  // A frame the store could not write is reported now, and tried again on
  // this tick.
  if (const framestore::FrameStore::Outcome outcome = frameStore.takeOutcome(); outcome.failed) {
    lblStatus.SetCaption(outcome.status);
    elapsedSecs = std::max<double>(elapsedSecs, interval_);
    savedWindow_ = 0;
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
        bound && capWindow == savedWindow_ && modWebCam::currentPicture().dwNumber == savedFrame_;
    if ((bound && !live) || savedAlready) {
      elapsedSecs = 0;
    } else if (saveframe()) {
      elapsedSecs = 0;
    }
  }
}

bool frmMain::saveframe() {
  // Without a live picture a grab would save a black or stale frame.
  const avicap32::CAPPICTURE picture = modWebCam::currentPicture();
  if (!picture.fLive) {
    lblStatus.SetCaption("No source connected, frame not saved.");
    return false;
  }
  if (fullSize_ && !picture.still) {
    lblStatus.SetCaption("No full-size picture from the source yet, frame not saved.");
    return false;
  }
  if (!fullSize_) {
    try {
      grabFrame();
    } catch (const std::exception& e) {
      lblStatus.SetCaption(std::string("Cannot grab the frame (") + e.what() + ")");
      return false;
    }
  }
  // Date and time from one reading, so a frame taken at midnight is not
  // named with the old day's date and the new day's time.
  const vba::DateTime now = vba::Now();
  const std::string name = vba::Format(now, "dd_MM_yyyy") + " " + vba::Format(now, "hhmmss");
  const bool handedOver = fullSize_ ? frameStore.save(picture.still, now, name, frameOptions_)
                                    : frameStore.save(Image1.Picture(), now, name, frameOptions_);
  if (!handedOver) {
    lblStatus.SetCaption("Frames are waiting for the disk, frame not saved.");
    return false;
  }
  savedWindow_ = capWindow;
  savedFrame_ = picture.dwNumber;
  return true;
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
