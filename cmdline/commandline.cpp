#include "cmdline/commandline.h"

#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "video/makevideo.h"

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

// --make-video: the video is made here, with no window, progress on
// standard error. Interrupted (Ctrl+C), it is cancelled and leaves no file.
std::atomic<bool> videoCancelled{false};

int runMakeVideo(const QCommandLineParser& parser, const QCommandLineOption& folder,
                 const QCommandLineOption& output, const QCommandLineOption& fps,
                 const QCommandLineOption& format, const QCommandLineOption& size,
                 const QCommandLineOption& deflicker) {
  const auto usage = [](const QString& message) {
    print(stderr, "ferrowick: " + message + "\n");
    return kBadUsage;
  };
  video::Settings settings;
  settings.folder = parser.value(folder).toStdString();
  settings.output = parser.value(output).toStdString();
  if (settings.output.empty()) return usage("--make-video needs --output FILE");
  bool number = false;
  settings.fps = parser.isSet(fps) ? parser.value(fps).toInt(&number) : 25;
  if (parser.isSet(fps) && (!number || settings.fps < 1 || settings.fps > 120)) {
    return usage("--fps must be a whole number from 1 to 120");
  }
  const QString formatName = parser.isSet(format) ? parser.value(format)
                             : parser.value(output).endsWith(".webm", Qt::CaseInsensitive) ? "webm"
                                                                                           : "mp4";
  if (formatName != "mp4" && formatName != "webm") return usage("--format must be mp4 or webm");
  settings.format = formatName == "webm" ? video::Format::webm : video::Format::mp4;
  if (parser.isSet(size)) {
    const QRegularExpressionMatch m =
        QRegularExpression(R"(^(\d{1,4})x(\d{1,4})$)").match(parser.value(size));
    settings.width = m.captured(1).toInt();
    settings.height = m.captured(2).toInt();
    if (!m.hasMatch() || settings.width < 2 || settings.height < 2 || settings.width % 2 ||
        settings.height % 2) {
      return usage("--size must be WIDTHxHEIGHT in even numbers, such as 1280x720");
    }
  }
  settings.deflicker = parser.isSet(deflicker);

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
  const QCommandLineOption makeVideo(
      QStringLiteral("make-video"),
      "Makes a video of the frames in FOLDER, in the order they were captured, with no window.", "FOLDER");
  const QCommandLineOption output(QStringLiteral("output"), "The video file to write (with --make-video).",
                                  "FILE");
  const QCommandLineOption fps(QStringLiteral("fps"), "Frames per second of the video (25).", "N");
  const QCommandLineOption format(QStringLiteral("format"), "mp4 (H.264, the default) or webm (VP9).",
                                  "FORMAT");
  const QCommandLineOption size(QStringLiteral("size"),
                                "The video's size, such as 1280x720 (the frames' size).", "WxH");
  const QCommandLineOption deflicker(QStringLiteral("deflicker"),
                                     "Evens out flicker from one frame to the next.");
  parser.addOptions({makeVideo, output, fps, format, size, deflicker});

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
  } else if (parser.isSet(makeVideo)) {
    parsed.exitStatus = runMakeVideo(parser, makeVideo, output, fps, format, size, deflicker);
  } else if (parser.isSet(output) || parser.isSet(fps) || parser.isSet(format) || parser.isSet(size) ||
             parser.isSet(deflicker)) {
    print(stderr, "ferrowick: --output, --fps, --format, --size and --deflicker go with --make-video\n");
    parsed.exitStatus = kBadUsage;
  }
  return parsed;
}

}  // namespace cmdline
