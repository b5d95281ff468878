#include "cmdline/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/avicap32.h"
#include "platform/gstcapture.h"
#include "platform/vba.h"

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
  QCommandLineOption start{"start", "Start capturing at once, with no box to click."};
  QCommandLineOption resume{"resume",
                            "Capture on with the run a restart interrupted (when one is recorded)."};

  void addTo(QCommandLineParser& parser) const {
    parser.addOptions({listSources, source, interval, folder, activeHours, daylight, start, resume});
  }
};

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
  options.start = parser.isSet(run.start);
  options.resume = parser.isSet(run.resume);
  return std::nullopt;
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
  } else if (const std::optional<QString> bad = readRun(parser, run, parsed.options)) {
    print(stderr, "ferrowick: " + *bad + "\n");
    parsed.exitStatus = kBadUsage;
  } else if (parser.isSet(run.listSources)) {
    for (const std::string& name : sourceNames()) print(stdout, QString::fromStdString(name) + "\n");
    parsed.exitStatus = 0;
  } else if (parsed.options.folder && !QDir().mkpath(QString::fromStdString(*parsed.options.folder))) {
    print(stderr,
          "ferrowick: --folder: " + QString::fromStdString(*parsed.options.folder) + " cannot be made\n");
    parsed.exitStatus = kBadUsage;
  }
  return parsed;
}

}  // namespace cmdline
