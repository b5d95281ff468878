#include "app/frmMain.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "app/modTopmost.h"
#include "camera/camerasettingsdialog.h"
#include "capture/modWebCam.h"
#include "grab/modBitBlt.h"
#include "platform/avicap32.h"
#include "platform/framefolder.h"
#include "platform/gstcapture.h"
#include "platform/shell32.h"
#include "platform/user32.h"
#include "platform/vba.h"
#include "run/runlog.h"
#include "schedule/activehoursdialog.h"
#include "schedule/resumejob.h"
#include "send/senddialog.h"
#include "store/framename.h"
#include "video/videodialog.h"
#include "web/password.h"
#include "web/webdialog.h"

using namespace modTopmost;
using modWebCam::capWindow;

namespace {

// What the frame store finished, as the run controller takes it.
run::Stored storedOf(const framestore::FrameStore::Outcome& outcome) {
  run::Stored stored{outcome.written, outcome.status};
  if (outcome.failure == framestore::FrameStore::Failure::DiskReserve)
    stored.kind = run::Event::Kind::DiskReserve;
  if (outcome.failure == framestore::FrameStore::Failure::FolderGone)
    stored.kind = run::Event::Kind::FolderGone;
  return stored;
}

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;

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
  mnuFileShowLog.OnClick = [this] { mnuFileShowLog_Click(); };
  mnuFileMakeVideo.OnClick = [this] { mnuFileMakeVideo_Click(); };
  mnuFileQuit.OnClick = [this] { Close(); };
  mnuHelpAbout.OnClick = [this] { mnuHelpAbout_Click(); };
  using framestore::Format;
  using Options = settings::FrameOptions;
  mnuCaptureSizePreview.OnClick = [this] { changeFrameOption([](Options& o) { o.fullSize = false; }); };
  mnuCaptureSizeFull.OnClick = [this] { changeFrameOption([](Options& o) { o.fullSize = true; }); };
  mnuCaptureFormatBmp.OnClick = [this] { changeFrameOption([](Options& o) { o.format = Format::Bmp; }); };
  mnuCaptureFormatPng.OnClick = [this] { changeFrameOption([](Options& o) { o.format = Format::Png; }); };
  mnuCaptureFormatJpeg.OnClick = [this] { changeFrameOption([](Options& o) { o.format = Format::Jpeg; }); };
  mnuCaptureStamp.OnClick = [this] {
    const bool stamp = !frameOptions_.timeStamp;
    changeFrameOption([stamp](Options& o) { o.timeStamp = stamp; });
  };
  mnuCaptureActiveHours.OnClick = [this] { mnuCaptureActiveHours_Click(); };
  mnuCaptureResume.OnClick = [this] { mnuCaptureResume_Click(); };
  mnuCaptureSend.OnClick = [this] { mnuCaptureSend_Click(); };
  mnuCaptureWeb.OnClick = [this] { mnuCaptureWeb_Click(); };
  tmrWeb.OnTimer = [this] { tmrWeb_Timer(); };
  // Start and Stop from the page act as the buttons do (without the box);
  // a Start while a run goes on leaves it as it is.
  webServer.onStart = [this] {
    vb::dispatch("web page Start", [this] {
      if (run_.state().phase == run::Phase::Stopped) startChosen();
    });
  };
  webServer.onStop = [this] { vb::dispatch("web page Stop", [this] { cmdStop_Click(); }); };
  webServer.onWatching = [this](bool watching) { tmrWeb.SetEnabled(watching); };
  mnuCaptureCamera.OnClick = [this] { mnuCaptureCamera_Click(); };
}

void frmMain::Form_Load() {
  SetWindowPos(hWnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  elapsedSecs = 0;
  modWebCam::FillSourceList(List1);
  if (List1.ListCount() > 0) List1.SetListIndex(0);
  tmrSources.SetEnabled(true);
  run_.addListener(run::logEvent);
  run_.addListener([this](const run::Event& e, const run::State& s) { offsite(e, s); });
  setFrameOptions(settings::frameOptions());
  mnuCaptureResume.SetChecked(settings::resumeEnabled());
  hours_ = options_.hours.value_or(settings::activeHours());
  send_ = run::sendOptions(options_, settings::sendOptions());
  startWeb();
  run_.addListener([this](const run::Event& e, const run::State& s) { cameraKeeper_.onEvent(e, s); });
  cameraKeeper_.setOptions(settings::cameraOptions());
  cameraKeeper_.setCommandLine(options_.controls);
  offerCameraSettings();
  runCommandLine();
  // What waits from an earlier run is sent even before a run starts.
  if (run_.state().phase == run::Phase::Stopped) bindOffsite();
  publishRun();
}

void frmMain::setFrameOptions(const settings::FrameOptions& options) {
  frameOptions_ = options;
  modWebCam::SetFullSize(options.fullSize);
  mnuCaptureSizePreview.SetChecked(!options.fullSize);
  mnuCaptureSizeFull.SetChecked(options.fullSize);
  mnuCaptureFormatBmp.SetChecked(options.format == framestore::Format::Bmp);
  mnuCaptureFormatPng.SetChecked(options.format == framestore::Format::Png);
  mnuCaptureFormatJpeg.SetChecked(options.format == framestore::Format::Jpeg);
  mnuCaptureStamp.SetChecked(options.timeStamp);
  run_.setFrames(options);
}

void frmMain::changeFrameOption(const std::function<void(settings::FrameOptions&)>& change) {
  settings::FrameOptions inForce = frameOptions_;
  change(inForce);
  setFrameOptions(inForce);
  // Only the option changed is remembered: a resumed run's own options,
  // in force now, are not the user's.
  try {
    settings::FrameOptions mine = settings::frameOptions();
    change(mine);
    settings::saveFrameOptions(mine);
  } catch (const vba::RuntimeError& e) {
    // The option holds for this run all the same.
    lblStatus.SetCaption(std::string("Cannot remember the option: ") + e.what());
  }
}

void frmMain::tmrSources_Timer() {
  publishRun();
  // Sources are only ever added (a lost camera keeps its entry), so a driver
  // at the index after the last entry means the list has grown. The entry
  // chosen stays chosen.
  offerCameraSettings();
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

void frmMain::setTopmost(bool topmost) {
  SetWindowPos(hWnd(), topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

int frmMain::boxAside(const std::string& prompt, int buttons, const std::string& title) {
  return aside([&] { return vba::MsgBox(prompt, buttons, title); });
}

void frmMain::cmdStart_Click() {
  boxAside("Captured frames will be saved in " + framesFolder() + "/", vba::vbOKOnly, "");
  startChosen();
}

void frmMain::startChosen() {
  if (List1.ListCount() == 0) return;
  if (List1.ListIndex() == -1) return;
  beginRun(schedule::sourceIdentity(List1.ListIndex()), List1.List(List1.ListIndex()), false);
}

void frmMain::beginRun(const std::string& identity, const std::string& name, bool resumed) {
  // The timer first: its seconds count from the click, however long the
  // rest takes (recording the run waits for the disk).
  tmrCapture.SetEnabled(true);
  const std::string folder = framesFolder();
  // The folder the box named is the run's, whatever happens to it.
  frameStore.start(folder);
  run_.start({identity, name, folder, txtTmr.Text(), hours_, frameOptions_, settings::resumeEnabled(),
              resumed, send_},
             now());
  publishRun();
}

void frmMain::cmdStop_Click() {
  tmrCapture.SetEnabled(false);
  run_.stop(now(), stored());
  publishRun();
}

void frmMain::Form_QueryUnload(int UnloadMode) {
  // The user closing the window ends the run for good; the end of the
  // desktop session leaves it recorded, to go on at the next login.
  // The frames handed to the store are written before the program ends, and
  // counted in the run's last lines.
  frameStore.waitIdle();
  run_.close(UnloadMode == vb::vbAppWindows || UnloadMode == vb::vbAppTaskManager, now(), stored());
}

void frmMain::Form_Terminate() {
  modWebCam::StopPreview();
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

void frmMain::mnuFileShowLog_Click() {
  const std::string log = run::openRunLog();
  const HINSTANCE opened =
      shell32::ShellExecuteA(hWnd(), "open", log.c_str(), nullptr, nullptr, shell32::SW_SHOWNORMAL);
  if (reinterpret_cast<intptr_t>(opened) <= 32) {
    boxAside("Cannot open the run log " + log, vba::vbExclamation, "Ferrowick");
  }
}

void frmMain::mnuFileMakeVideo_Click() {
  // The dialog stays up while the video is made, and the window's timers go
  // on meanwhile: the window leaves the topmost band so it does not hide it.
  const std::optional<video::Made> made = aside([&] { return video::runMakeVideoDialog(framesFolder()); });
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

run::Instant frmMain::now() { return schedule::instantOf(vba::Now()); }

void frmMain::tmrCapture_Timer() {
  const run::Stored written = stored();
  // A frame the store could not write is tried again with the picture of now.
  if (!written.failure.empty()) savedWindow_ = 0;
  const run::Instant at = now();
  run_.tick(at, txtTmr.Text(), written);
  cameraKeeper_.tick(at);
  lblStatus.SetCaption(run_.state().status);
  publishRun();
  // The chores are looked at once an hour (a day over at midnight among them).
  if (at / 3600 != choresHour_ && run_.state().phase != run::Phase::Stopped) {
    choresHour_ = at / 3600;
    upkeep.check(at, false);
  }
}

bool frmMain::saveframe() {
  const std::string why = saveFrame();
  if (!why.empty()) lblStatus.SetCaption(why);
  return why.empty();
}

std::string frmMain::saveFrame() {
  // Without a live picture a grab would save a black or stale frame.
  const avicap32::CAPPICTURE picture = modWebCam::currentPicture();
  if (!picture.fLive) return "No source connected, frame not saved.";
  if (frameOptions_.fullSize && !picture.still)
    return "No full-size picture from the source yet, frame not saved.";
  if (!frameOptions_.fullSize) {
    try {
      grabFrame();
    } catch (const std::exception& e) {
      return std::string("Cannot grab the frame (") + e.what() + ")";
    }
  }
  // Date and time from one reading, so a frame taken at midnight is not
  // named with the old day's date and the new day's time.
  const vba::DateTime now = vba::Now();
  const std::string name = framename::baseName(now);
  const framestore::Options options{frameOptions_.format, frameOptions_.timeStamp};
  const bool handedOver = frameOptions_.fullSize ? frameStore.save(picture.still, now, name, options)
                                                 : frameStore.save(Image1.Picture(), now, name, options);
  if (!handedOver) return "Frames are waiting for the disk, frame not saved.";
  savedWindow_ = capWindow;
  savedFrame_ = picture.dwNumber;
  // The frame saved sets the exposure of those after it; the camera is told
  // once the frame is handed over, so a write to it never delays a frame.
  cameraKeeper_.frameDue();
  return {};
}

void frmMain::grabFrame() { Image1.SetPicture(grabCapture()); }

olepro32::StdPicture frmMain::grabCapture() {
  HDC surface = user32::GetDC(capWindow);
  try {
    olepro32::StdPicture picture = modBitBlt::GrabSurface(surface, 0, 0, kFrameWidth, kFrameHeight);
    user32::ReleaseDC(capWindow, surface);
    return picture;
  } catch (...) {
    user32::ReleaseDC(capWindow, surface);
    throw;
  }
}

// ---- Active hours, resuming a run after a restart, the command line.

std::string frmMain::framesFolder() const {
  return folder_.empty() ? framefolder::capturedFolder() : folder_;
}

void frmMain::runCommandLine() {
  const run::Plan plan = run::plan(options_, options_.resume ? settings::recordedJob() : std::nullopt);
  if (plan.entry) {
    for (int i = 0; i < List1.ListCount(); ++i) {
      if (List1.List(i) == *plan.entry) List1.SetListIndex(i);
    }
  }
  if (plan.interval) txtTmr.SetText(*plan.interval);
  if (plan.folder) folder_ = *plan.folder;
  if (plan.hours) hours_ = *plan.hours;
  if (plan.frames) setFrameOptions(*plan.frames);
  if (plan.send) send_ = *plan.send;
  // Unattended starts show no box: nothing may wait for a click.
  if (!plan.start) return;
  if (plan.source) {
    const int index = schedule::findSource(*plan.source);
    if (index >= 0 && index < List1.ListCount()) List1.SetListIndex(index);
    beginRun(*plan.source, plan.sourceName, plan.resumed);
    return;
  }
  const int chosen = List1.ListIndex();
  if (chosen >= 0) beginRun(schedule::sourceIdentity(chosen), List1.List(chosen), plan.resumed);
}

void frmMain::recordJob(const settings::Job& job) {
  try {
    settings::recordJob(job);
  } catch (const vba::RuntimeError& e) {
    lblStatus.SetCaption(std::string("Cannot record the run for a restart: ") + e.what());
  }
}

void frmMain::clearJob() { settings::clearJob(); }

bool frmMain::takeSource(const std::string& identity) {
  // The entry chosen when it is the source (two sources may share a name),
  // else the source found by its identity.
  int index = List1.ListIndex();
  if (index < 0 || schedule::sourceIdentity(index) != identity) {
    index = schedule::findSource(identity);
    if (index < 0) return false;
    // Found where the list did not have it (a resumed run's camera that has
    // just come): the list shows it, chosen.
    if (index >= List1.ListCount()) modWebCam::FillSourceList(List1);
    if (index < List1.ListCount()) List1.SetListIndex(index);
  }
  modWebCam::StartPreview(index, Picture1);
  return true;
}

void frmMain::releaseSource() { modWebCam::StopPreview(); }

run::Look frmMain::look(bool frameDue) {
  const bool bound = user32::IsWindow(capWindow);
  const bool live = modWebCam::previewIsLive();
  // The picture (for the full size, the source's newest still) only when it may be saved.
  const bool savedAlready =
      frameDue && bound && capWindow == savedWindow_ && modWebCam::currentPicture().dwNumber == savedFrame_;
  return {bound, live, bound && !live && modWebCam::previewHung(), modWebCam::previewFrameNumber() > 0,
          !savedAlready};
}

void frmMain::mnuCaptureActiveHours_Click() {
  // The dialog, like a box, must not hide behind the topmost window.
  schedule::ActiveHours hours = hours_;
  const bool changed = aside([&] { return schedule::editActiveHours(hWnd(), hours); });
  if (!changed) return;
  hours_ = hours;
  run_.setHours(hours, now());
  try {
    settings::saveActiveHours(hours);
  } catch (const vba::RuntimeError& e) {
    boxAside(e.what(), vba::vbExclamation, "Ferrowick");
  }
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
  run_.setRecording(on);
}

// ---- Sending frames off the machine, a video of each day, old frames deleted.

run::Stored frmMain::stored() {
  const framestore::FrameStore::Outcome outcome = frameStore.takeOutcome();
  for (const std::string& file : outcome.files) sender.frameWritten(file);
  return storedOf(outcome);
}

void frmMain::bindOffsite() {
  const run::State& s = run_.state();
  const bool running = s.phase != run::Phase::Stopped;
  const std::string folder = running ? s.folder : framesFolder();
  sender.bind(folder, send_.destination, send_.latest);
  upkeep.bind(folder, send_.dailyVideo, send_.keepDays);
  if (running) upkeep.check(now(), false);
}

void frmMain::offsite(const run::Event& e, const run::State& s) {
  switch (e.kind) {
    case run::Event::Kind::Started:
    case run::Event::Kind::Resumed:
      send_ = s.send;
      choresHour_ = e.at / 3600;
      bindOffsite();
      break;
    case run::Event::Kind::Waiting: {
      // The day is over when the hours do not open again before midnight.
      const vba::DateTime today = schedule::localTime(e.at);
      const vba::DateTime opens = schedule::localTime(s.opening.value_or(e.at + 366 * 24 * 3600));
      upkeep.check(
          e.at, std::tie(opens.year, opens.month, opens.day) != std::tie(today.year, today.month, today.day));
      break;
    }
    default:
      break;
  }
}

void frmMain::mnuCaptureSend_Click() {
  settings::SendOptions chosen = send_;
  const bool changed = aside([&] {
    return sending::editSendOptions(hWnd(), chosen, [this] { return sending::describe(sender.state()); });
  });
  if (!changed) return;
  send_ = chosen;
  run_.setSend(chosen);
  bindOffsite();
  try {
    settings::saveSendOptions(chosen);
  } catch (const vba::RuntimeError& e) {
    boxAside(e.what(), vba::vbExclamation, "Ferrowick");
  }
}

// ---- The web page.

void frmMain::startWeb() {
  const settings::WebOptions mine = settings::webOptions();
  web::Options options;
  if (options_.web) {
    // The command line's, for this run only.
    options.address = options_.web->address;
    options.port = options_.web->port;
    options.passwordHash =
        options_.web->password ? password::hash(*options_.web->password) : mine.passwordHash;
    options.certFile = options_.web->certFile;
    options.keyFile = options_.web->keyFile;
  } else if (mine.enabled) {
    options.address = mine.otherComputers ? "0.0.0.0" : "127.0.0.1";
    options.port = mine.port;
    options.passwordHash = mine.passwordHash;
  } else {
    webServer.stop();
    return;
  }
  const std::string why = webServer.start(options);
  if (!why.empty()) lblStatus.SetCaption("Web page not served: " + why);
  publishRun();
}

void frmMain::publishRun() {
  // Nothing to hand while no page is served: a stopped run's folder is
  // looked for on the disk anew each time.
  if (!webServer.serving()) return;
  const run::State& state = run_.state();
  webServer.publish(state, state.folder.empty() ? framesFolder() : state.folder);
}

void frmMain::tmrWeb_Timer() {
  if (!modWebCam::previewIsLive()) return;
  olepro32::StdPicture picture;
  try {
    picture = grabCapture();
  } catch (const std::exception&) {
    // The live picture goes without this one.
  }
  webServer.offerPreview(picture);
}

void frmMain::mnuCaptureWeb_Click() {
  settings::WebOptions options = settings::webOptions();
  const bool changed = aside([&] { return web::editWebOptions(hWnd(), options, webServer.url()); });
  if (!changed) return;
  try {
    settings::saveWebOptions(options);
  } catch (const vba::RuntimeError& e) {
    boxAside(e.what(), vba::vbExclamation, "Ferrowick");
    return;
  }
  // The dialog's choice takes the place of the command line's from now on.
  options_.web.reset();
  startWeb();
}

void frmMain::offerCameraSettings() {
  const int chosen = List1.ListIndex();
  mnuCaptureCamera.SetEnabled(chosen >= 0 && chosen < List1.ListCount() - 1);
}

void frmMain::mnuCaptureCamera_Click() {
  const int chosen = List1.ListIndex();
  const avicap32::DriverList& drivers = avicap32::driverList();
  if (chosen < 0 || static_cast<size_t>(chosen) >= drivers.size()) return;
  const std::string identity = schedule::sourceIdentity(chosen);
  const camera::CameraChoices choices = aside([&] {
    return camera::editCameraSettings(hWnd(), List1.List(chosen), identity,
                                      drivers[static_cast<size_t>(chosen)]->controlDevice());
  });
  // The ticks hold from the next Start; a run going on keeps what was set.
  cameraKeeper_.setOptions(choices.options);
  cameraKeeper_.userChanged(identity, choices.changed);
}
