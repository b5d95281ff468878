#pragma once
// The main window: the source list, the preview area, the interval box, the
// Start and Stop commands, the one-second countdown and the saving of frames.
#include <cstdint>
#include <functional>
#include <string>

#include "camera/camerakeeper.h"
#include "cmdline/commandline.h"
#include "platform/olepro32.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "run/runcontroller.h"
#include "schedule/activehours.h"
#include "send/sender.h"
#include "send/upkeep.h"
#include "settings/settings.h"
#include "store/framestore.h"
#include "web/webserver.h"

// The window carries out what the run controller decides (it is the run's
// hands) and shows what it reports.
class frmMain : public vb::Form, private run::Hands {
 public:
  frmMain();
  // With what the command line asks of this run.
  explicit frmMain(cmdline::Options options);

  // Grabs the top-left 320 x 240 pixels of the preview into Image1 (or, with
  // the camera's full size chosen, takes the source's full-size picture) and
  // hands them to the frame store, which writes them (as a BMP unless another
  // format is chosen) named by date and time into the run's folder. Returns
  // whether a frame was handed over; what went wrong goes to the status line,
  // and what goes wrong in the store on the next tick.
  bool saveframe();

 private:
  // The run's state and decisions.
  run::RunController run_{*this};

 public:
  // Seconds counted since the last saved frame: the run's own count.
  double& elapsedSecs = run_.elapsedSecs();

  vb::ListBox List1{*this, 30, 1470, 3465, 1230, 0};
  vb::PictureBox Picture1{*this, 3600, 1440, 4800, 3600, 1};
  vb::Label Label1{*this, 240, 1200, 2055, 255, 2, "Avalible sources:"};
  vb::CommandButton cmdStart{*this, 360, 4680, 1215, 375, 3, "Start capturing"};
  vb::CommandButton cmdStop{*this, 1920, 4680, 1215, 375, 4, "Stop capturing"};
  vb::Label Label2{*this, 120, 2880, 1575, 255, 5, "Capture frame every:"};
  vb::TextBox txtTmr{*this, 1680, 2880, 1215, 285, 6, "20"};
  vb::Label Label3{*this, 3000, 2880, 375, 255, 7, "sec."};
  vb::Label lblStatus{*this, 0, 3240, 3255, 255, 8, ""};
  vb::Label Label4{*this, 240, 3600, 3015, 975, 9, kDescription, true};
  vb::Label Label5{*this, 240, 960, 6135, 255, 10, kAppeal};
  vb::Image Image1{*this, 2280, 3720, 435, 315};
  vb::Timer tmrCapture{*this, 1000};

  // The menu bar, above the client area.
  vb::Menu mnuFile{*this, "&File"};
  vb::Menu mnuFileOpenFolder{mnuFile, "&Open frames folder"};
  vb::Menu mnuFileShowLog{mnuFile, "Show run &log"};
  vb::Menu mnuFileMakeVideo{mnuFile, "Make &video…"};
  vb::Menu mnuFileBar1{mnuFile, "-"};
  vb::Menu mnuFileQuit{mnuFile, "&Quit"};
  vb::Menu mnuCapture{*this, "&Capture"};
  vb::Menu mnuCaptureSize{mnuCapture, "Frame &size"};
  vb::Menu mnuCaptureSizePreview{mnuCaptureSize, "&Preview 320 × 240"};
  vb::Menu mnuCaptureSizeFull{mnuCaptureSize, "Camera's &full size"};
  vb::Menu mnuCaptureFormat{mnuCapture, "F&ormat"};
  vb::Menu mnuCaptureFormatBmp{mnuCaptureFormat, "&BMP"};
  vb::Menu mnuCaptureFormatPng{mnuCaptureFormat, "&PNG"};
  vb::Menu mnuCaptureFormatJpeg{mnuCaptureFormat, "&JPEG"};
  vb::Menu mnuCaptureStamp{mnuCapture, "&Time stamp on frames"};
  vb::Menu mnuCaptureBar1{mnuCapture, "-"};
  vb::Menu mnuCaptureActiveHours{mnuCapture, "&Active hours…"};
  vb::Menu mnuCaptureSend{mnuCapture, "Se&nd frames to…"};
  vb::Menu mnuCaptureResume{mnuCapture, "&Resume capturing after a restart"};
  vb::Menu mnuCaptureWeb{mnuCapture, "&Web page…"};
  vb::Menu mnuCaptureCamera{mnuCapture, "&Camera settings…"};
  vb::Menu mnuHelp{*this, "&Help"};
  vb::Menu mnuHelpAbout{mnuHelp, "&About Ferrowick"};
  // Watches for capture sources that appear while the program runs.
  vb::Timer tmrSources{*this, 1000};

  // Offers the live picture to the web page while someone watches it.
  vb::Timer tmrWeb{*this, web::kStreamIntervalMs};

  // Writes the frames, away from the window's thread.
  framestore::FrameStore frameStore;
  // Sends them off the machine, and keeps the run's chores (a video of each
  // day, old frames deleted), each on a thread of its own.
  sending::Sender sender;
  sending::Upkeep upkeep{[this](const std::string& video) { sender.videoMade(video); },
                         [this](const std::string& frame) { return sender.settled(frame); }};
  // The web page, when it is on; it reads the run as published to it.
  web::Server webServer;

 protected:
  void Form_Load() override;
  void Form_QueryUnload(int UnloadMode) override;
  void Form_Terminate() override;

 private:
  static constexpr const char* kDescription =
      "This is my time lapse utility. Use it to capture frames from a video for windows compatible "
      "source. (webcams etc...) The still frames can be assembled to a video with various 3'rd party "
      "applications.";
  static constexpr const char* kAppeal =
      "Like Ferrowick? Support its development at https://ferrowick.example.org/support";

  void cmdStart_Click();
  void cmdStop_Click();
  void mnuFileOpenFolder_Click();
  void mnuFileShowLog_Click();
  void mnuFileMakeVideo_Click();
  void mnuHelpAbout_Click();
  void mnuCaptureActiveHours_Click();
  void mnuCaptureResume_Click();
  void mnuCaptureSend_Click();
  // What the frame store finished since the last look, for the run; the
  // frames it wrote handed to sending.
  run::Stored stored();
  // Sending and the chores follow the run: its folder, its options.
  void offsite(const run::Event& event, const run::State& state);
  // Sending as chosen, for the run's folder (the folder frames go to when
  // there is no run, so that what waits is sent).
  void bindOffsite();
  void mnuCaptureWeb_Click();
  // Serves the web page as the command line or the settings say (or stops
  // serving it); the status line says why when it cannot.
  void startWeb();
  // Hands the web page the run as it is now, while it is served.
  void publishRun();
  void tmrWeb_Timer();
  // Start without the box: the chosen source, when one is chosen.
  void startChosen();
  // The frame options in force: the user's, read from the settings at Load
  // and changed by the Capture menu (which remembers the change), or a
  // resumed run's own; shown by the menu's check marks.
  void setFrameOptions(const settings::FrameOptions& options);
  void changeFrameOption(const std::function<void(settings::FrameOptions&)>& change);
  // A dialog (or a message box) the window does not hide: the window leaves
  // the topmost band while it is up. What the dialog returns.
  template <class Dialog>
  auto aside(Dialog dialog) {
    setTopmost(false);
    auto result = dialog();
    setTopmost(true);
    return result;
  }
  void setTopmost(bool topmost);
  int boxAside(const std::string& prompt, int buttons, const std::string& title);
  void tmrCapture_Timer();
  // Image1 = the top-left 320 x 240 pixels of the capture window.
  void grabFrame();
  // Those pixels, as a picture.
  olepro32::StdPicture grabCapture();
  void tmrSources_Timer();
  // --source, --interval, --folder, the hours; then --resume or --start.
  void runCommandLine();
  // Starts a run from the source of that identity.
  void beginRun(const std::string& identity, const std::string& name, bool resumed);
  // The folder the run's frames go to.
  std::string framesFolder() const;
  // The clock, as the run controller takes it.
  static run::Instant now();

  // run::Hands
  bool takeSource(const std::string& identity) override;
  void releaseSource() override;
  run::Look look(bool frameDue) override;
  // saveframe's work: why no frame was handed to the store, or nothing.
  std::string saveFrame() override;
  void recordJob(const settings::Job& job) override;
  void clearJob() override;

  // The picture saved last: its capture window and its number there.
  HWND savedWindow_ = 0;
  uint32_t savedFrame_ = 0;
  settings::FrameOptions frameOptions_;
  cmdline::Options options_;
  // The active hours chosen (for the next run; the run's own are the controller's).
  schedule::ActiveHours hours_;
  // The run's folder when the command line or a resumed job names one.
  std::string folder_;
  // Where frames are sent, what is kept (for the next run, and the run's own).
  settings::SendOptions send_;
  run::Instant choresHour_ = 0;  // the hour the chores were last looked at
  // The run's camera controls, kept through the run.
  camera::Keeper cameraKeeper_;
  void mnuCaptureCamera_Click();
  // Camera settings are not offered for the test pattern (listed last).
  void offerCameraSettings();
};
