#include "cmdline/commandline.h"

#include <gio/gio.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "camera/cameracontrols.h"
#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/vba.h"
#include "send/rclone.h"
#include "settings/settings.h"
#include "video/makevideo.h"
#include "web/webserver.h"

namespace cmdline {

namespace {

constexpr int kBadUsage = 2;

QStringList arguments(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  return args;
}

void print(FILE* to, const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), to);
  std::fflush(to);
}

// ---- A run asked for on the command line

struct RunOptions {
  QCommandLineOption listSources{"list-sources", "Print the capture sources, one a line, and exit."};
  QCommandLineOption source{"source", "Capture from the source listed as <name>.", "name"};
  QCommandLineOption interval{"interval", "Take a frame every <seconds> (a whole number).", "seconds"};
  QCommandLineOption folder{"folder", "Save the frames in <folder> (made when missing).", "folder"};
  QCommandLineOption activeHours{"active-hours", "Capture only between two times of day, every day.",
                                 "HH:MM-HH:MM"};
  QCommandLineOption daylight{"daylight",
                              "Capture only from sunrise to sunset at a place (degrees north, east).",
                              "latitude,longitude"};
  QCommandLineOption sendTo{"send-to",
                            "Send each frame, as it is taken, to <destination>: a folder, or REMOTE:PATH "
                            "with a remote of rclone's configuration.",
                            "destination"};
  QCommandLineOption keepDays{"keep-days", "Delete frames older than <days> days from the frames folder.",
                              "days"};
  QCommandLineOption dailyVideo{"daily-video", "Make a video of each day when its active hours close."};
  QCommandLineOption start{"start", "Start capturing at once, with no box to click."};
  QCommandLineOption resume{"resume",
                            "Capture on with the run a restart interrupted (when one is recorded)."};
  QCommandLineOption noWindow{"no-window", "Run with no window and no display (with --start or --resume)."};
  QCommandLineOption web{"web",
                         "Serve the web page on <[address:]port> (this computer only without an address).",
                         "[address:]port"};
  QCommandLineOption webPasswordFile{"web-password-file",
                                     "The web page's password: the first line of <file>.", "file"};
  QCommandLineOption webCert{"web-cert", "Serve the web page over HTTPS with this PEM certificate.", "file"};
  QCommandLineOption webKey{"web-key", "The PEM private key of --web-cert.", "file"};

  QCommandLineOption listControls{"list-controls",
                                  "Print the controls of the camera --source names, one a line, and exit."};
  QCommandLineOption control{"control",
                             "Set a camera control for this run, by its V4L2 name (repeatable), such as "
                             "exposure_time_absolute=250.",
                             "name=value"};

  void addTo(QCommandLineParser& parser) const {
    parser.addOptions({listSources, source, interval, folder, activeHours, daylight, sendTo, keepDays,
                       dailyVideo, start, resume, noWindow, web, webPasswordFile, webCert, webKey,
                       listControls, control});
  }
};

// Whether there is a display a window could open on.
bool haveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// Reads --web and the options that go with it; a bad value's message otherwise.
std::optional<QString> readWeb(const QCommandLineParser& parser, const RunOptions& run, Options& options) {
  const bool withWeb = parser.isSet(run.web);
  if (!withWeb) {
    if (parser.isSet(run.webPasswordFile) || parser.isSet(run.webCert) || parser.isSet(run.webKey))
      return QString("--web-password-file, --web-cert and --web-key go with --web");
    return std::nullopt;
  }
  Options::Web web;
  const QString given = parser.value(run.web);
  const qsizetype colon = given.lastIndexOf(':');
  QString address = colon < 0 ? QString() : given.left(colon);
  if (address.startsWith('[') && address.endsWith(']')) address = address.mid(1, address.size() - 2);
  bool number = false;
  const int port = given.mid(colon + 1).toInt(&number);
  if (!number || port < 1 || port > 65535 || given.mid(colon + 1).startsWith('+'))
    return "--web: '" + given + "' is not [address:]port with a port from 1 to 65535";
  web.port = port;
  if (!address.isEmpty()) {
    GInetAddress* inet = g_inet_address_new_from_string(address.toUtf8().constData());
    if (!inet && address != "localhost") return "--web: '" + address + "' is not an IP address";
    if (inet) g_object_unref(inet);
    web.address = address == "localhost" ? "127.0.0.1" : address.toStdString();
  }
  if (parser.isSet(run.webPasswordFile)) {
    QFile file(parser.value(run.webPasswordFile));
    if (!file.open(QIODevice::ReadOnly))
      return "--web-password-file: " + parser.value(run.webPasswordFile) + " cannot be read";
    const QByteArray line = file.readLine().trimmed();
    if (line.isEmpty())
      return "--web-password-file: the first line of " + parser.value(run.webPasswordFile) + " is empty";
    web.password = line.toStdString();
  }
  if (!web.password && !web::isLoopback(web.address) && settings::webOptions().passwordHash.empty())
    return "--web: other computers may connect to " + address + " only with a password (--web-password-file)";
  if (parser.isSet(run.webCert) != parser.isSet(run.webKey))
    return QString("--web-cert and --web-key go together");
  if (parser.isSet(run.webCert)) {
    web.certFile = parser.value(run.webCert).toStdString();
    web.keyFile = parser.value(run.webKey).toStdString();
    GError* error = nullptr;
    GTlsCertificate* cert =
        g_tls_certificate_new_from_files(web.certFile.c_str(), web.keyFile.c_str(), &error);
    if (!cert) {
      const QString why = QString::fromUtf8(error->message);
      g_error_free(error);
      return "--web-cert: " + why;
    }
    g_object_unref(cert);
  }
  options.web = web;
  return std::nullopt;
}

// The capture sources as the window lists them.
std::vector<std::string> sourceNames() {
  gstcapture::installDrivers();
  std::vector<std::string> names;
  std::string name(100, ' ');
  std::string ver(100, ' ');
  for (UINT i = 0; avicap32::capGetDriverDescriptionA(i, name.data(), 100, ver.data(), 100); ++i) {
    const std::string trimmed = vba::Trim(name);
    names.push_back(trimmed.substr(0, trimmed.find('\0')));
  }
  gstcapture::uninstallDrivers();
  return names;
}

// Why a folder cannot be made, or nothing when it exists or can be.
std::optional<QString> folderProblem(const QString& folder) {
  QFileInfo at(folder);
  while (!at.exists() && at.absoluteFilePath() != at.absolutePath()) at = QFileInfo(at.absolutePath());
  if (!at.isDir()) return at.absoluteFilePath() + " is not a folder";
  if (!at.isWritable()) return at.absoluteFilePath() + " cannot be written to";
  return std::nullopt;
}

// Reads the run's values into options; a bad value's message otherwise.
std::optional<QString> readRun(const QCommandLineParser& parser, const RunOptions& run, Options& options) {
  const auto value = [&](const QCommandLineOption& o) { return parser.value(o).toStdString(); };
  if (parser.isSet(run.interval)) {
    const QString text = parser.value(run.interval);
    bool ok = false;
    const int seconds = text.toInt(&ok);
    if (!ok || seconds < 1 || seconds > 32767 || text.front() == '+')
      return "--interval: '" + text + "' is not a whole number of seconds from 1 to 32767";
    options.interval = std::to_string(seconds);
  }
  if (parser.isSet(run.activeHours) && parser.isSet(run.daylight))
    return QString("--active-hours and --daylight cannot be used together");
  if (parser.isSet(run.activeHours)) {
    options.hours = schedule::parseBetween(value(run.activeHours));
    if (!options.hours)
      return "--active-hours: '" + parser.value(run.activeHours) +
             "' is not two times of day (such as 07:00-19:30)";
  }
  if (parser.isSet(run.daylight)) {
    options.hours = schedule::parseDaylight(value(run.daylight));
    if (!options.hours)
      return "--daylight: '" + parser.value(run.daylight) +
             "' is not a place in degrees (such as 52.52,13.40)";
  }
  if (parser.isSet(run.folder)) {
    const QString folder = parser.value(run.folder);
    if (folder.isEmpty()) return QString("--folder: no folder given");
    if (const std::optional<QString> problem = folderProblem(folder))
      return "--folder: " + folder + " cannot be made: " + *problem;
    options.folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString();
  }
  if (parser.isSet(run.source)) {
    const std::vector<std::string> names = sourceNames();
    if (std::find(names.begin(), names.end(), value(run.source)) == names.end())
      return "--source: no source is listed as '" + parser.value(run.source) +
             "' (--list-sources lists them)";
    options.source = value(run.source);
  }
  if (parser.isSet(run.keepDays)) {
    const QString text = parser.value(run.keepDays);
    bool ok = false;
    const int days = text.toInt(&ok);
    if (!ok || days < 1 || days > 36500 || text.front() == '+')
      return "--keep-days: '" + text + "' is not a whole number of days from 1 to 36500";
    options.keepDays = days;
  }
  if (parser.isSet(run.sendTo)) {
    const QString to = parser.value(run.sendTo);
    if (to.isEmpty()) return QString("--send-to: no destination given");
    if (const std::optional<std::string> remote = sending::remoteOf(to.toStdString())) {
      std::string why;
      const std::optional<std::vector<std::string>> remotes = sending::listRemotes(why);
      if (!remotes) return "--send-to: " + QString::fromStdString(why);
      if (std::find(remotes->begin(), remotes->end(), *remote) == remotes->end())
        return "--send-to: rclone has no remote named '" + QString::fromStdString(*remote) +
               "' (rclone listremotes lists them; rclone config sets one up)";
      options.sendTo = to.toStdString();
    } else {
      if (const std::optional<QString> problem = folderProblem(to))
        return "--send-to: " + to + " cannot be made: " + *problem;
      options.sendTo = QDir::cleanPath(QFileInfo(to).absoluteFilePath()).toStdString();
    }
  }
  options.dailyVideo = parser.isSet(run.dailyVideo);
  for (const QString& assignment : parser.values(run.control)) {
    std::pair<std::string, int64_t> value;
    if (const std::optional<std::string> bad = camera::parseAssignment(assignment.toStdString(), value))
      return "--control: " + QString::fromStdString(*bad);
    options.controls.push_back(value);
  }
  if (parser.isSet(run.listControls) && !parser.isSet(run.source))
    return QString("--list-controls needs --source NAME");
  options.start = parser.isSet(run.start);
  options.resume = parser.isSet(run.resume);
  options.noWindow = parser.isSet(run.noWindow);
  return readWeb(parser, run, options);
}

// --list-controls: the controls of the camera listed as name; 1 when it has
// none the program can reach.
int printControls(const std::string& name) {
  gstcapture::installDrivers();
  std::string device;
  for (const auto& driver : avicap32::driverList()) {
    if (driver->description() == name) device = driver->controlDevice();
  }
  gstcapture::uninstallDrivers();
  const camera::Listing listing = device.empty() ? camera::Listing{} : camera::listControls(device);
  if (listing.controls.empty() && listing.error.empty()) {
    print(stderr,
          "ferrowick: '" + QString::fromStdString(name) + "' has no controls the program can reach\n");
    return 1;
  }
  for (const camera::Control& c : listing.controls)
    print(stdout, QString::fromStdString(camera::describe(c)) + "\n");
  if (!listing.error.empty()) print(stderr, "ferrowick: " + QString::fromStdString(listing.error) + "\n");
  return listing.error.empty() ? 0 : 1;
}

// --make-video: the video is made here, with no window, progress on
// standard error. Interrupted (Ctrl+C), it is cancelled and leaves no file.
std::atomic<bool> videoCancelled{false};

struct VideoOptions {
  QCommandLineOption makeVideo{
      "make-video", "Make a video of the frames in <folder>, in the order they were captured, and exit.",
      "folder"};
  QCommandLineOption output{"output", "The video file to write (with --make-video).", "file"};
  QCommandLineOption fps{"fps", "Frames per second of the video (25).", "N"};
  QCommandLineOption format{"format", "mp4 (H.264, the default) or webm (VP9).", "format"};
  QCommandLineOption size{"size", "The video's size, such as 1280x720 (the frames' size).", "WxH"};
  QCommandLineOption deflicker{"deflicker", "Even out flicker from one frame to the next."};

  void addTo(QCommandLineParser& parser) const {
    parser.addOptions({makeVideo, output, fps, format, size, deflicker});
  }
  // Whether an option that only goes with --make-video is given.
  bool anySet(const QCommandLineParser& parser) const {
    return parser.isSet(output) || parser.isSet(fps) || parser.isSet(format) || parser.isSet(size) ||
           parser.isSet(deflicker);
  }
  // Whether an option given is not one of these.
  bool othersSet(const QCommandLineParser& parser) const {
    const QStringList mine =
        makeVideo.names() + output.names() + fps.names() + format.names() + size.names() + deflicker.names();
    const QStringList given = parser.optionNames();
    return std::any_of(given.begin(), given.end(), [&](const QString& name) { return !mine.contains(name); });
  }
};

int runMakeVideo(const QCommandLineParser& parser, const VideoOptions& o) {
  const auto usage = [](const QString& message) {
    print(stderr, "ferrowick: " + message + "\n");
    return kBadUsage;
  };
  video::Settings settings;
  settings.folder = parser.value(o.makeVideo).toStdString();
  settings.output = parser.value(o.output).toStdString();
  if (settings.output.empty()) return usage("--make-video needs --output FILE");
  bool number = false;
  settings.fps = parser.isSet(o.fps) ? parser.value(o.fps).toInt(&number) : 25;
  if (parser.isSet(o.fps) && (!number || settings.fps < 1 || settings.fps > 120)) {
    return usage("--fps must be a whole number from 1 to 120");
  }
  const QString formatName = parser.isSet(o.format) ? parser.value(o.format)
                             : parser.value(o.output).endsWith(".webm", Qt::CaseInsensitive) ? "webm"
                                                                                             : "mp4";
  if (formatName != "mp4" && formatName != "webm") return usage("--format must be mp4 or webm");
  settings.format = formatName == "webm" ? video::Format::webm : video::Format::mp4;
  if (parser.isSet(o.size)) {
    const QRegularExpressionMatch m =
        QRegularExpression(R"(^(\d{1,4})x(\d{1,4})$)").match(parser.value(o.size));
    settings.width = m.captured(1).toInt();
    settings.height = m.captured(2).toInt();
    if (!m.hasMatch() || settings.width < 2 || settings.height < 2 || settings.width % 2 ||
        settings.height % 2) {
      return usage("--size must be WIDTHxHEIGHT in even numbers, such as 1280x720");
    }
  }
  settings.deflicker = parser.isSet(o.deflicker);

  const bool terminal = ::isatty(STDERR_FILENO);
  int tenthShown = -1;
  const auto progress = [&](const video::Progress& p) {
    const int tenth = p.total ? p.done * 10 / p.total : 0;
    if (!terminal && tenth == tenthShown) return;
    tenthShown = tenth;
    QString line = QString("Making video: %1 of %2 frames").arg(p.done).arg(p.total);
    if (p.secondsLeft >= 0) line += QString(", %1 s left").arg(static_cast<int>(p.secondsLeft + 0.5));
    print(stderr, terminal ? "\r" + line + "\033[K" : line + "\n");
  };
  videoCancelled = false;
  const auto cancel = [](int) { videoCancelled = true; };
  const auto oldInt = std::signal(SIGINT, cancel);
  const auto oldTerm = std::signal(SIGTERM, cancel);
  const video::Result result = video::makeVideo(settings, progress, videoCancelled);
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  if (terminal && tenthShown >= 0) print(stderr, "\n");
  print(stderr, (result.complete ? "" : "ferrowick: ") + QString::fromStdString(result.message) + "\n");
  return result.complete ? 0 : 1;
}

}  // namespace

Parsed parse(int argc, char** argv) {
  // The parser's texts need an application object; a plain core one needs no display.
  std::optional<QCoreApplication> core;
  if (!QCoreApplication::instance()) core.emplace(argc, argv);
  QCoreApplication::setApplicationName("ferrowick");
  QCoreApplication::setApplicationVersion(FERROWICK_VERSION);

  QCommandLineParser parser;
  parser.setApplicationDescription("Time-lapse photography with a webcam: a still every interval.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const RunOptions run;
  run.addTo(parser);
  const VideoOptions videoRun;
  videoRun.addTo(parser);

  Parsed parsed;
  if (!parser.parse(arguments(argc, argv))) {
    print(stderr, "ferrowick: " + parser.errorText() + "\n");
    parsed.exitStatus = kBadUsage;
  } else if (!parser.positionalArguments().isEmpty()) {
    print(stderr, "ferrowick: unexpected argument '" + parser.positionalArguments().constFirst() + "'\n");
    parsed.exitStatus = kBadUsage;
  } else if (parser.isSet(help)) {
    print(stdout, parser.helpText());
    parsed.exitStatus = 0;
  } else if (parser.isSet(version)) {
    print(stdout, "ferrowick " + QCoreApplication::applicationVersion() + "\n");
    parsed.exitStatus = 0;
  } else if (parser.isSet(videoRun.makeVideo) && videoRun.othersSet(parser)) {
    print(stderr, "ferrowick: --make-video makes a video and opens no window: it takes no capture options\n");
    parsed.exitStatus = kBadUsage;
  } else if (parser.isSet(videoRun.makeVideo)) {
    parsed.exitStatus = runMakeVideo(parser, videoRun);
  } else if (videoRun.anySet(parser)) {
    print(stderr, "ferrowick: --output, --fps, --format, --size and --deflicker go with --make-video\n");
    parsed.exitStatus = kBadUsage;
  } else if (const std::optional<QString> bad = readRun(parser, run, parsed.options)) {
    print(stderr, "ferrowick: " + *bad + "\n");
    parsed.exitStatus = kBadUsage;
  } else if (parser.isSet(run.listControls)) {
    parsed.exitStatus = printControls(*parsed.options.source);
  } else if (parser.isSet(run.listSources)) {
    for (const std::string& name : sourceNames()) print(stdout, QString::fromStdString(name) + "\n");
    parsed.exitStatus = 0;
  } else if (!parsed.options.noWindow && !haveDisplay()) {
    print(stderr,
          "ferrowick: no display to open the window on (DISPLAY is not set); --no-window runs without one\n");
    parsed.exitStatus = kBadUsage;
  } else if (parsed.options.folder && !QDir().mkpath(QString::fromStdString(*parsed.options.folder))) {
    print(stderr,
          "ferrowick: --folder: " + QString::fromStdString(*parsed.options.folder) + " cannot be made\n");
    parsed.exitStatus = kBadUsage;
  } else if (const std::optional<std::string>& to = parsed.options.sendTo;
             to && !sending::remoteOf(*to) && !QDir().mkpath(QString::fromStdString(*to))) {
    print(stderr, "ferrowick: --send-to: " + QString::fromStdString(*to) + " cannot be made\n");
    parsed.exitStatus = kBadUsage;
  }
  return parsed;
}

}  // namespace cmdline
