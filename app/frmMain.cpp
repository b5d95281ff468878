#include "app/frmMain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "app/modTopmost.h"
#include "capture/modWebCam.h"
#include "grab/modBitBlt.h"
#include "platform/avicap32.h"
#include "platform/framefolder.h"
#include "platform/gstcapture.h"
#include "platform/shell32.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "schedule/activehoursdialog.h"
#include "schedule/resumejob.h"
#include "video/videodialog.h"

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

// The interval typed, as shown and as counted; none while the text is not a
// valid interval.
std::optional<std::pair<double, int16_t>> typedInterval(const std::string& typed) {
  try {
    return std::pair(vba::CDbl(typed), vba::CInt(typed));
  } catch (const vba::RuntimeError&) {
    return std::nullopt;
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

frmMain::frmMain() : frmMain(cmdline::Options{}) {}

frmMain::frmMain(cmdline::Options options)
    : vb::Form("Ferrowick v 0.1", 8535, 5220), options_(std::move(options)) {
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
  mnuCaptureSizePreview.OnClick = [this] { setFrameOption("Size", "Preview"); };
  mnuCaptureSizeFull.OnClick = [this] { setFrameOption("Size", "Full"); };
  mnuCaptureFormatBmp.OnClick = [this] { setFrameOption("Format", "BMP"); };
  mnuCaptureFormatPng.OnClick = [this] { setFrameOption("Format", "PNG"); };
  mnuCaptureFormatJpeg.OnClick = [this] { setFrameOption("Format", "JPEG"); };
  mnuCaptureStamp.OnClick = [this] {
    setFrameOption("TimeStamp", frameOptions_.timeStamp ? "False" : "True");
  };
  mnuCaptureActiveHours.OnClick = [this] { mnuCaptureActiveHours_Click(); };
  mnuCaptureResume.OnClick = [this] { mnuCaptureResume_Click(); };
}

void frmMain::Form_Load() {
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  elapsedSecs = 0;
  modWebCam::FillSourceList(List1);
  if (List1.ListCount() > 0) List1.SetListIndex(0);
  tmrSources.SetEnabled(true);
  loadFrameOptions();
  mnuCaptureResume.SetChecked(schedule::resumeEnabled());
  hours_ = options_.hours.value_or(schedule::loadActiveHours());
  runCommandLine();
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
  boxAside("Captured frames will be saved in " + framesFolder() + "/", vba::vbOKOnly, "");
  if (List1.ListCount() == 0) return;
  if (List1.ListIndex() == -1) return;
  beginRun(schedule::sourceIdentity(List1.ListIndex()), List1.ListIndex(), List1.List(List1.ListIndex()));
}

void frmMain::beginRun(const std::string& identity, int index, const std::string& name) {
  runSource_ = identity;
  runSourceName_ = name;
  runIndex_ = index;
  // Written through before the first frame, so a run killed at any moment
  // after it comes back.
  if (schedule::resumeEnabled()) recordJob();
  // The folder the box named is the run's, whatever happens to it.
  frameStore.start(framesFolder());
  // A second Start while running rebinds: the current capture window and its
  // source are released first, so there is never more than one.
  modWebCam::StopPreview();
  released_ = true;
  waiting_ = false;
  opening_.reset();
  // Outside the active hours the camera is not even taken: the first tick
  // says when capturing begins.
  if (schedule::captureNow(hours_, schedule::instantOf(vba::Now()))) takeSource();
  tmrCapture.SetEnabled(true);
}

void frmMain::cmdStop_Click() {
  tmrCapture.SetEnabled(false);
  modWebCam::StopPreview();
  released_ = false;
  waiting_ = false;
  schedule::clearJob();
}

void frmMain::Form_QueryUnload(int UnloadMode) {
  sessionEnding_ = UnloadMode == vb::vbAppWindows || UnloadMode == vb::vbAppTaskManager;
}

void frmMain::Form_Terminate() {
  modWebCam::StopPreview();
  // The user closing the window ends the run for good; the end of the
  // desktop session leaves it recorded, to go on at the next login.
  try {
    if (!sessionEnding_) schedule::clearJob();
  } catch (const vba::RuntimeError& e) {
    std::fprintf(stderr, "Ferrowick: %s\n", e.what());
  }
  Unload();
}

void frmMain::mnuFileOpenFolder_Click() {
  // The run's folder once there is a run.
  std::string folder = frameStore.folder();
  if (folder.empty()) folder = folder_.empty() ? savingFolder() : folder_;
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
  const std::optional<video::Made> made = video::runMakeVideoDialog(framesFolder());
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
  showLost();
  return false;
}

void frmMain::showLost() {
  if (!lostSince_) lostSince_ = vba::Now();
  const vba::DateTime now = vba::Now();
  const bool today =
      lostSince_->year == now.year && lostSince_->month == now.month && lostSince_->day == now.day;
  lblStatus.SetCaption(
      "Source lost since " + vba::Format(*lostSince_, today ? "hh:nn:ss" : "dd/MM/yyyy hh:nn:ss") +
      (modWebCam::previewHung() ? ", it does not answer: replug it." : ", waiting for it to return."));
}

void frmMain::tmrCapture_Timer() {
  // Outside the active hours no frame is due: the tick says when capturing resumes.
  if (waitingForHours()) return;
  elapsedSecs = elapsedSecs + 1.0;
  // The interval is read afresh each tick. A text that is not a valid
  // interval (as while the user retypes it) leaves the last valid one in force.
  const std::optional<std::pair<double, int16_t>> typed = typedInterval(txtTmr.Text());
  if (typed) std::tie(intervalShown_, interval_) = *typed;
  const double remaining = intervalShown_ - elapsedSecs;
  if (typed) {
    lblStatus.SetCaption("Time till next capture: " + vba::CStr(remaining) + " secs.");
  } else {
    lblStatus.SetCaption("Interval not valid, using " + vba::CStr(intervalShown_) + ": " +
                         vba::CStr(remaining) + " secs.");
  }
  // A frame the store could not write is reported now, and tried again on
  // this tick.
  if (const framestore::FrameStore::Outcome outcome = frameStore.takeOutcome(); !outcome.status.empty()) {
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
  const std::string name = framename::baseName(now);
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

// ---- Active hours, resuming a run after a restart, the command line.

namespace {
// The camera is taken this long before the active hours open, so that it is
// live (linked, exposed) when the first frame is due.
constexpr schedule::Instant kTakeEarlySecs = 10;
}  // namespace

std::string frmMain::framesFolder() const {
  return folder_.empty() ? framefolder::capturedFolder() : folder_;
}

void frmMain::runCommandLine() {
  if (options_.source) {
    for (int i = 0; i < List1.ListCount(); ++i) {
      if (List1.List(i) == *options_.source) List1.SetListIndex(i);
    }
  }
  if (options_.interval) txtTmr.SetText(*options_.interval);
  if (options_.folder) folder_ = *options_.folder;
  // Unattended starts show no box: nothing may wait for a click.
  const int chosen = List1.ListIndex();
  if (options_.resume) {
    if (const std::optional<schedule::Job> job = schedule::recordedJob()) {
      // The job's values, unless the command line gives others for this run.
      schedule::restoreFrameOptions();
      loadFrameOptions();
      if (!options_.interval) txtTmr.SetText(job->interval);
      if (!options_.folder && !job->folder.empty()) folder_ = job->folder;
      if (!options_.hours) hours_ = job->hours;
      if (options_.source) {
        beginRun(schedule::sourceIdentity(chosen), chosen, List1.List(chosen));
        return;
      }
      const int index = schedule::findSource(job->source);
      if (index >= 0 && index < List1.ListCount()) List1.SetListIndex(index);
      beginRun(job->source, index, job->sourceName);
      return;
    }
  }
  if (options_.start && chosen >= 0) {
    beginRun(schedule::sourceIdentity(chosen), chosen, List1.List(chosen));
  }
}

void frmMain::recordJob() {
  try {
    schedule::recordJob({runSource_, runSourceName_, txtTmr.Text(), framesFolder(), hours_});
  } catch (const vba::RuntimeError& e) {
    lblStatus.SetCaption(std::string("Cannot record the run for a restart: ") + e.what());
  }
}

bool frmMain::takeSource() {
  if (!released_) return true;
  if (runIndex_ < 0 || schedule::sourceIdentity(runIndex_) != runSource_) {
    runIndex_ = schedule::findSource(runSource_);
    if (runIndex_ < 0) return false;
    // Found where the list did not have it (a resumed run's camera that has
    // just come): the list shows it, chosen.
    if (runIndex_ >= List1.ListCount()) modWebCam::FillSourceList(List1);
    if (runIndex_ < List1.ListCount()) List1.SetListIndex(runIndex_);
  }
  modWebCam::StartPreview(runIndex_, Picture1);
  released_ = false;
  return true;
}

void frmMain::releaseSource() {
  if (released_) return;
  // Let go like Stop does: the device is closed (its light goes off) and
  // another program may use it meanwhile.
  modWebCam::StopPreview();
  released_ = true;
  lostSince_.reset();
}

bool frmMain::waitingForHours() {
  if (hours_.mode == schedule::ActiveHours::Mode::Always && !waiting_ && !released_) return false;
  const schedule::Instant now = schedule::instantOf(vba::Now());
  if (schedule::captureNow(hours_, now)) {
    if (waiting_) {
      waiting_ = false;
      // The first frame falls at the opening: it is due on this tick.
      const auto [shown, counted] =
          typedInterval(txtTmr.Text()).value_or(std::pair(intervalShown_, interval_));
      elapsedSecs = std::max<double>(shown, counted) - 1.0;
    }
    if (takeSource()) return false;
    // A resumed run's camera that is not there yet is waited for as a lost one.
    showLost();
    return true;
  }
  if (!waiting_ || !opening_ || now >= *opening_) opening_ = schedule::nextOpening(hours_, now);
  waiting_ = true;
  if (opening_ && *opening_ - now <= kTakeEarlySecs) {
    takeSource();
  } else {
    releaseSource();
  }
  lblStatus.SetCaption(opening_ ? "Waiting for active hours: capturing resumes " +
                                      schedule::openingText(*opening_, now) + "."
                                : std::string("Waiting for active hours: none open within a year."));
  return true;
}

void frmMain::mnuCaptureActiveHours_Click() {
  // The dialog, like a box, must not hide behind the topmost window.
  SetWindowPos(hWnd(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  schedule::ActiveHours hours = hours_;
  const bool changed = schedule::editActiveHours(hWnd(), hours);
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (!changed) return;
  hours_ = hours;
  opening_.reset();
  try {
    schedule::saveActiveHours(hours);
  } catch (const vba::RuntimeError& e) {
    boxAside(e.what(), vba::vbExclamation, "Ferrowick");
  }
  if (tmrCapture.Enabled() && schedule::resumeEnabled()) recordJob();
}

void frmMain::mnuCaptureResume_Click() {
  const bool on = !mnuCaptureResume.Checked();
  try {
    schedule::setResumeEnabled(on);
  } catch (const vba::RuntimeError& e) {
    boxAside(e.what(), vba::vbExclamation, "Ferrowick");
    return;
  }
  mnuCaptureResume.SetChecked(on);
  // A run going on now comes back too, as if started with the option ticked.
  if (on && tmrCapture.Enabled()) recordJob();
}
