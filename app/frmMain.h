#pragma once
// The main window: the source list, the preview area, the interval box, the
// Start and Stop commands, the one-second countdown and the saving of frames.
#include <cstdint>
#include <optional>
#include <string>

#include "cmdline/commandline.h"
#include "platform/vb.h"
#include "platform/vba.h"
#include "schedule/activehours.h"
#include "store/framestore.h"

class frmMain : public vb::Form {
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

  // Seconds counted since the last saved frame.
  double elapsedSecs = 0;

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
  vb::Menu mnuCaptureResume{mnuCapture, "&Resume capturing after a restart"};
  vb::Menu mnuHelp{*this, "&Help"};
  vb::Menu mnuHelpAbout{mnuHelp, "&About Ferrowick"};
  // Watches for capture sources that appear while the program runs.
  vb::Timer tmrSources{*this, 1000};

  // Writes the frames, away from the window's thread.
  framestore::FrameStore frameStore;

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
  void mnuFileMakeVideo_Click();
  void mnuHelpAbout_Click();
  // The frame options: read from the settings at Load, changed by the
  // Capture menu (and remembered), shown by its check marks.
  void loadFrameOptions();
  void applyFrameOption(const std::string& key, const std::string& value);
  void setFrameOption(const std::string& key, const std::string& value);
  void showFrameOptions();
  // A message box the window does not hide: the window leaves the topmost
  // band while the box is up.
  int boxAside(const std::string& prompt, int buttons, const std::string& title);
  void tmrCapture_Timer();
  // Image1 = the top-left 320 x 240 pixels of the capture window.
  void grabFrame();
  void tmrSources_Timer();
  // Whether the bound source shows a live picture now; while it does not,
  // the status line says since when it has been lost.
  bool sourceLive();

  // The interval in force: the last text that converted both for the
  // display and for the trigger ("20" at start).
  double intervalShown_ = 20;
  int16_t interval_ = 20;
  // When the bound source was found lost (unset while live or unbound).
  std::optional<vba::DateTime> lostSince_;
  // The picture saved last: its capture window and its number there.
  HWND savedWindow_ = 0;
  uint32_t savedFrame_ = 0;
  // Frames of the camera's full size rather than the preview's.
  bool fullSize_ = false;
  framestore::Options frameOptions_;

  // ---- Active hours, resuming a run after a restart, the command line.
  void mnuCaptureActiveHours_Click();
  void mnuCaptureResume_Click();
  // Says since when the bound source has been lost, or the run's source away.
  void showLost();
  // --source, --interval, --folder, the hours; then --resume or --start.
  void runCommandLine();
  // Starts a run from the source of that identity, at index in the list (-1
  // while it is not listed); records it when resuming is ticked.
  void beginRun(const std::string& identity, int index, const std::string& name);
  void recordJob();
  // The folder the run's frames go to.
  std::string framesFolder() const;
  // Outside the active hours: lets the camera go, takes it again shortly
  // before they open, says when capturing resumes. Whether the tick is spent.
  bool waitingForHours();
  // Binds the run's source again after it was let go; false while it is not listed.
  bool takeSource();
  void releaseSource();

  cmdline::Options options_;
  schedule::ActiveHours hours_;
  // The run's folder when the command line or a resumed job names one.
  std::string folder_;
  // The run's source: its identity, list entry and index (found again by
  // identity when the list has changed).
  std::string runSource_;
  std::string runSourceName_;
  int runIndex_ = -1;
  bool released_ = false;  // the run's source was let go (or never taken)
  bool waiting_ = false;   // outside the active hours
  std::optional<schedule::Instant> opening_;
  bool sessionEnding_ = false;  // the window goes because the session or the program ends
};
