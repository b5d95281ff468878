#include "cmdline/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

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
  }
  return parsed;
}

}  // namespace cmdline
