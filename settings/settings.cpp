#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

#include "platform/vba.h"

namespace settings {
namespace {

constexpr const char* kFrames = "Frames";
constexpr const char* kActiveHours = "ActiveHours";
constexpr const char* kJob = "Job";
constexpr const char* kWeb = "Web";
// A job keeps copies of the frame options and the active hours it ran with,
// in subsections of its own.
constexpr const char* kJobFramesPrefix = "Frames/";
constexpr const char* kJobHoursPrefix = "ActiveHours/";
constexpr const char* kSend = "Send";
constexpr const char* kJobSendPrefix = "Send/";
const char* const kDayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

std::string get(const std::string& section, const std::string& key, const std::string& fallback = "") {
  return vba::GetSetting(kApplication, section, key, fallback);
}

// The whole text as a number; none otherwise.
template <typename T>
std::optional<T> number(const std::string& text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Times of day are kept as "HH:MM".
std::string clockText(int minutes) {
  const auto two = [](int v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
  return two(minutes / 60) + ":" + two(minutes % 60);
}

std::optional<int> clockMinutes(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() != colon + 3 || text[0] == '-' ||
      text[colon + 1] == '-')
    return std::nullopt;
  const std::optional<int> h = number<int>(text.substr(0, colon));
  const std::optional<int> m = number<int>(text.substr(colon + 1));
  if (!h || !m || *h > 23 || *m > 59) return std::nullopt;
  return *h * 60 + *m;
}

// Weekdays are kept as their names: "Mon,Tue,Wed".
std::string weekdaysText(unsigned weekdays) {
  std::string out;
  for (int i = 0; i < 7; ++i) {
    if (((weekdays >> i) & 1U) == 0) continue;
    if (!out.empty()) out += ',';
    out += kDayNames[i];
  }
  return out;
}

unsigned weekdaysOf(const std::string& text) {
  unsigned mask = 0;
  for (int i = 0; i < 7; ++i) {
    if (text.find(kDayNames[i]) != std::string::npos) mask |= 1U << i;
  }
  return mask;
}

// Degrees are kept with a decimal point whatever the user's language.
std::string decimalText(double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

std::optional<double> degrees(const std::string& text, double limit) {
  const std::optional<double> value = number<double>(text);
  if (!value || !std::isfinite(*value) || std::abs(*value) > limit) return std::nullopt;
  return value;
}

// Active hours kept under a section, or a job's subsection (prefix).
schedule::ActiveHours readHours(const std::string& section, const std::string& prefix) {
  const auto read = [&](const char* key, const std::string& fallback = "") {
    return get(section, prefix + key, fallback);
  };
  schedule::ActiveHours hours;
  // Every field is kept, so the times of a mode not in use are there when
  // it is chosen again.
  hours.from = clockMinutes(read("From")).value_or(hours.from);
  hours.to = clockMinutes(read("To")).value_or(hours.to);
  hours.weekdays = weekdaysOf(read("Weekdays", weekdaysText(hours.weekdays)));
  const std::optional<double> latitude = degrees(read("Latitude"), 90);
  const std::optional<double> longitude = degrees(read("Longitude"), 180);
  if (latitude && longitude) {
    hours.latitude = *latitude;
    hours.longitude = *longitude;
  }
  hours.minutesBeforeSunrise = number<int>(read("MinutesBeforeSunrise")).value_or(0);
  hours.minutesAfterSunset = number<int>(read("MinutesAfterSunset")).value_or(0);
  const std::string mode = read("Mode");
  if (mode == "Between") hours.mode = schedule::ActiveHours::Mode::Between;
  // Without a place there are no sun times: capturing goes on around the clock.
  if (mode == "Daylight" && latitude && longitude) hours.mode = schedule::ActiveHours::Mode::Daylight;
  return hours;
}

void addHours(vba::Settings& values, const schedule::ActiveHours& hours, const std::string& prefix) {
  using Mode = schedule::ActiveHours::Mode;
  values.insert(values.end(), {{prefix + "Mode", hours.mode == Mode::Between    ? "Between"
                                                 : hours.mode == Mode::Daylight ? "Daylight"
                                                                                : "Always"},
                               {prefix + "From", clockText(hours.from)},
                               {prefix + "To", clockText(hours.to)},
                               {prefix + "Weekdays", weekdaysText(hours.weekdays)},
                               {prefix + "Latitude", decimalText(hours.latitude)},
                               {prefix + "Longitude", decimalText(hours.longitude)},
                               {prefix + "MinutesBeforeSunrise", std::to_string(hours.minutesBeforeSunrise)},
                               {prefix + "MinutesAfterSunset", std::to_string(hours.minutesAfterSunset)}});
}

FrameOptions readFrames(const std::string& section, const std::string& prefix) {
  FrameOptions options;
  options.fullSize = get(section, prefix + "Size") == "Full";
  const std::string format = get(section, prefix + "Format");
  options.format = format == "PNG"    ? framestore::Format::Png
                   : format == "JPEG" ? framestore::Format::Jpeg
                                      : framestore::Format::Bmp;
  options.timeStamp = get(section, prefix + "TimeStamp") == "True";
  return options;
}

void addFrames(vba::Settings& values, const FrameOptions& options, const std::string& prefix) {
  values.insert(values.end(), {{prefix + "Size", options.fullSize ? "Full" : "Preview"},
                               {prefix + "Format", options.format == framestore::Format::Png    ? "PNG"
                                                   : options.format == framestore::Format::Jpeg ? "JPEG"
                                                                                                : "BMP"},
                               {prefix + "TimeStamp", options.timeStamp ? "True" : "False"}});
}

SendOptions readSend(const std::string& section, const std::string& prefix) {
  SendOptions options;
  options.destination = get(section, prefix + "Destination");
  options.latest = get(section, prefix + "Latest", "1") == "1";
  options.keepDays = std::max(0, number<int>(get(section, prefix + "KeepDays")).value_or(0));
  options.dailyVideo = get(section, prefix + "DailyVideo") == "1";
  return options;
}

void addSend(vba::Settings& values, const SendOptions& options, const std::string& prefix) {
  values.insert(values.end(), {{prefix + "Destination", options.destination},
                               {prefix + "Latest", options.latest ? "1" : "0"},
                               {prefix + "KeepDays", std::to_string(options.keepDays)},
                               {prefix + "DailyVideo", options.dailyVideo ? "1" : "0"}});
}

}  // namespace

FrameOptions frameOptions() { return readFrames(kFrames, ""); }

void saveFrameOptions(const FrameOptions& options) {
  vba::Settings values;
  addFrames(values, options, "");
  vba::SaveSettings(kApplication, kFrames, values);
}

schedule::ActiveHours activeHours() { return readHours(kActiveHours, ""); }

void saveActiveHours(const schedule::ActiveHours& hours) {
  vba::Settings values;
  addHours(values, hours, "");
  vba::SaveSettings(kApplication, kActiveHours, values);
}

bool resumeEnabled() { return get("Resume", "Enabled", "0") == "1"; }

void saveResumeEnabled(bool enabled) {
  vba::SaveSetting(kApplication, "Resume", "Enabled", enabled ? "1" : "0");
}

WebOptions webOptions() {
  WebOptions o;
  o.enabled = get(kWeb, "Enabled", "0") == "1";
  const std::optional<int> port = number<int>(get(kWeb, "Port"));
  if (port && *port > 0 && *port < 65536) o.port = *port;
  o.passwordHash = get(kWeb, "Password");
  // Other computers are never let in without a password, whatever the file says.
  o.otherComputers = get(kWeb, "OtherComputers", "0") == "1" && !o.passwordHash.empty();
  return o;
}

void saveWebOptions(const WebOptions& options) {
  vba::SaveSettings(kApplication, kWeb,
                    {{"Enabled", options.enabled ? "1" : "0"},
                     {"Port", std::to_string(options.port)},
                     {"OtherComputers", options.otherComputers ? "1" : "0"},
                     {"Password", options.passwordHash}});
}

void recordJob(const Job& job) {
  vba::Settings values;
  addHours(values, job.hours, kJobHoursPrefix);
  addFrames(values, job.frames, kJobFramesPrefix);
  addSend(values, job.send, kJobSendPrefix);
  values.insert(values.end(), {{"Interval", job.interval},
                               {"Folder", job.folder},
                               {"SourceName", job.sourceName},
                               {"Source", job.source}});
  vba::SaveSettings(kApplication, kJob, values);
}

std::optional<Job> recordedJob() {
  Job job;
  job.source = get(kJob, "Source");
  if (job.source.empty()) return std::nullopt;
  job.sourceName = get(kJob, "SourceName");
  job.interval = get(kJob, "Interval", "20");
  job.folder = get(kJob, "Folder");
  job.hours = readHours(kJob, kJobHoursPrefix);
  job.frames = readFrames(kJob, kJobFramesPrefix);
  job.send = readSend(kJob, kJobSendPrefix);
  return job;
}

void clearJob() {
  // A job of an older version may have been cut short after its copies.
  for (const std::string section : {"Job", "Job/ActiveHours", "Job/Frames", "Job/Send"}) {
    if (!vba::GetAllSettings(kApplication, section).empty()) {
      vba::DeleteSetting(kApplication, kJob);
      return;
    }
  }
}

SendOptions sendOptions() { return readSend(kSend, ""); }

void saveSendOptions(const SendOptions& options) {
  vba::Settings values;
  addSend(values, options, "");
  vba::SaveSettings(kApplication, kSend, values);
}

VideoChoices videoChoices() {
  VideoChoices choices;
  choices.fps = number<int>(get("Video", "Fps")).value_or(choices.fps);
  choices.size = get("Video", "Size", choices.size);
  choices.format = get("Video", "Format", choices.format);
  choices.deflicker = get("Video", "Deflicker") == "1";
  return choices;
}

void saveVideoChoices(const VideoChoices& choices) {
  vba::SaveSettings(kApplication, "Video",
                    {{"Fps", std::to_string(choices.fps)},
                     {"Size", choices.size},
                     {"Format", choices.format},
                     {"Deflicker", choices.deflicker ? "1" : "0"}});
}

namespace {

constexpr const char* kCameraControls = "CameraControls";

// An identity as a settings key: "serial:…" and "bus:…" hold characters a
// key cannot ('/', '\\'), so all but letters, digits, '-', '_' and '.' are
// kept as %XX.
std::string identityKey(const std::string& identity) {
  static const char* hex = "0123456789ABCDEF";
  std::string key;
  for (unsigned char c : identity) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      key += static_cast<char>(c);
    } else {
      key += '%';
      key += hex[c >> 4];
      key += hex[c & 15];
    }
  }
  return key;
}

}  // namespace

ControlValues cameraControls(const std::string& identity) {
  // Kept as "name=value;name=value"; a pair that does not read is skipped.
  const std::string text = get(kCameraControls, identityKey(identity));
  ControlValues values;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(at, end - at);
    const size_t eq = pair.find('=');
    const std::optional<int64_t> value =
        eq == std::string::npos ? std::nullopt : number<int64_t>(pair.substr(eq + 1));
    if (eq > 0 && value) values.emplace_back(pair.substr(0, eq), *value);
    at = end + 1;
  }
  return values;
}

void saveCameraControls(const std::string& identity, const ControlValues& values) {
  std::string text;
  for (const auto& [name, value] : values)
    text += (text.empty() ? "" : ";") + name + "=" + std::to_string(value);
  vba::SaveSetting(kApplication, kCameraControls, identityKey(identity), text);
}

CameraOptions cameraOptions() {
  return {get("Camera", "Hold", "0") == "1", get("Camera", "EvenExposure", "0") == "1"};
}

void saveCameraOptions(const CameraOptions& options) {
  vba::SaveSettings(kApplication, "Camera",
                    {{"Hold", options.hold ? "1" : "0"}, {"EvenExposure", options.evenExposure ? "1" : "0"}});
}

}  // namespace settings
