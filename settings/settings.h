#pragma once
// The user's settings, typed: every section and key the program keeps, with
// its default, in the program's settings file (the forms runtime's settings
// under one application name). A value missing or unreadable reads as its
// default; a write is on the disk when it returns (error 75 when it cannot be).
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "schedule/activehours.h"
#include "store/framestore.h"

namespace settings {

// The name the settings are kept under.
inline constexpr const char* kApplication = "Ferrowick";

// How frames are written (section "Frames").
struct FrameOptions {
  bool fullSize = false;  // the camera's full size rather than the preview's 320 x 240
  framestore::Format format = framestore::Format::Bmp;
  bool timeStamp = false;
  bool operator==(const FrameOptions&) const = default;
};
FrameOptions frameOptions();
void saveFrameOptions(const FrameOptions& options);

// When a run takes frames (section "ActiveHours").
schedule::ActiveHours activeHours();
void saveActiveHours(const schedule::ActiveHours& hours);

// "Resume capturing after a restart" (section "Resume").
bool resumeEnabled();
void saveResumeEnabled(bool enabled);

// Where frames and videos are sent, and what is kept (section "Send").
struct SendOptions {
  // Empty: nowhere; a folder; or "REMOTE:PATH", a remote of rclone's configuration.
  std::string destination;
  bool latest = true;       // the newest frame also sent as latest.jpg
  int keepDays = 0;         // frames older than that many days deleted; 0 keeps them all
  bool dailyVideo = false;  // a video of each day, made when its active hours close
  bool operator==(const SendOptions&) const = default;
};
SendOptions sendOptions();
void saveSendOptions(const SendOptions& options);

// The run recorded for resuming after a restart (section "Job").
struct Job {
  std::string source;      // the source's identity (CaptureDriver::identity)
  std::string sourceName;  // its entry in the source list
  std::string interval;    // the interval as typed
  std::string folder;      // where its frames go
  schedule::ActiveHours hours;
  FrameOptions frames;
  SendOptions send;
  bool operator==(const Job&) const = default;
};
// Replaces any job recorded before, in one write: one cut short is none.
void recordJob(const Job& job);
std::optional<Job> recordedJob();
// Forgets the recorded job; writes nothing when there is none.
void clearJob();

// The web page (section "Web"): off unless turned on, and then for this
// computer only unless other computers are let in, which needs a password.
struct WebOptions {
  bool enabled = false;
  int port = 8080;
  bool otherComputers = false;
  std::string passwordHash;  // a salted hash (web/password.h); empty: none
  bool operator==(const WebOptions&) const = default;
};
WebOptions webOptions();
void saveWebOptions(const WebOptions& options);

// The Make video dialog's last choices (section "Video").
struct VideoChoices {
  int fps = 25;
  std::string size = "frames";  // "frames" (the frames' own), "1280x720" or "1920x1080"
  std::string format = "mp4";   // "mp4" or "webm"
  bool deflicker = false;
};
VideoChoices videoChoices();
void saveVideoChoices(const VideoChoices& choices);

// A camera's controls as the user set them, by V4L2 name, in the order
// written (section "CameraControls", a key per camera identity).
using ControlValues = std::vector<std::pair<std::string, int64_t>>;
ControlValues cameraControls(const std::string& identity);
void saveCameraControls(const std::string& identity, const ControlValues& values);

// How a run treats the camera (section "Camera"): its automatic exposure,
// white balance and focus held at Start, and the exposure evened.
struct CameraOptions {
  bool hold = false;
  bool evenExposure = false;
  bool operator==(const CameraOptions&) const = default;
};
CameraOptions cameraOptions();
void saveCameraOptions(const CameraOptions& options);

}  // namespace settings
