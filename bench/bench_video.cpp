// Making a video, side by side with ffmpeg doing the same encode of the same
// frames in the same order (linked in order as a numbered sequence): H.264
// at the medium preset, constant quality 23, 4:2:0, index at the front. Both
// run as programs of their own (ours is `ferrowick --make-video`), so wall
// time and peak memory are each one's alone. Prints, for 1,000 frames of
// 320 x 240 BMP and 300 of 1920 x 1080 JPEG, the wall time of each and their
// ratio; the peak memory of a 10,000-frame run; and VP9's speed against
// real time. Frames are named across a month end, as a long run names them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "video/frames.h"

namespace {

struct Run {
  double seconds = 0;
  double peakMB = 0;
  bool ok = false;
};

// Runs a program to its end, its output discarded; its wall time and peak
// resident memory.
Run run(const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peakMB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// A scene that changes a little each frame, as a time-lapse does: a sky
// whose light shifts, a moving sun, and sensor noise.
QImage scene(int width, int height, int i, std::mt19937& noise) {
  QImage image(width, height, QImage::Format_RGB32);
  QPainter p(&image);
  QLinearGradient sky(0, 0, 0, height);
  sky.setColorAt(0, QColor::fromHsv((200 + i / 4) % 360, 160, 120 + i % 100));
  sky.setColorAt(1, QColor::fromHsv((30 + i / 3) % 360, 120, 200));
  p.fillRect(image.rect(), sky);
  p.setBrush(QColor(255, 230, 120));
  p.setPen(Qt::NoPen);
  const int r = height / 8;
  p.drawEllipse(QPoint((i * 7) % width, height / 3 + (i % 50)), r, r);
  p.setBrush(QColor(40, 90, 40));
  p.drawRect(0, height * 3 / 4, width, height / 4);
  p.end();
  std::uniform_int_distribution<int> d(-6, 6);
  for (int y = 0; y < height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const int n = d(noise);
      const QRgb c = line[x];
      line[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                     std::clamp(qBlue(c) + n, 0, 255));
    }
  }
  return image;
}

// count frames in folder, named a minute apart from 31 January 2024 at
// 20:00; after `distinct` frames the earlier files are linked again, so a
// long run costs little disk. Returns the numbered sequence ffmpeg reads,
// linked in capture order.
std::string writeFrames(const QString& folder, int count, int width, int height, const char* ext,
                        int distinct) {
  QDir().mkpath(folder + "/seq");
  std::mt19937 noise(1);
  const QDateTime first(QDate(2024, 1, 31), QTime(20, 0));
  std::vector<QString> written;
  for (int i = 0; i < count; ++i) {
    const QDateTime at = first.addSecs(60LL * i);
    const QString name = folder + "/" + at.toString("dd_MM_yyyy hhmmss") + "." + ext;
    if (i < distinct) {
      scene(width, height, i, noise).save(name, nullptr, 90);
    } else {
      link(written[static_cast<size_t>(i % distinct)].toLocal8Bit().constData(),
           name.toLocal8Bit().constData());
    }
    written.push_back(name);
  }
  const video::FrameList list = video::listFrames(folder.toStdString());
  for (size_t i = 0; i < list.frames.size(); ++i) {
    const QString numbered = QString("%1/seq/%2.%3").arg(folder).arg(i + 1, 6, 10, QChar('0')).arg(ext);
    symlink(list.frames[i].path.c_str(), numbered.toLocal8Bit().constData());
  }
  return (folder + "/seq/%06d." + ext).toStdString();
}

bool haveFfmpeg() { return run({"ffmpeg", "-version"}).ok; }

Run ours(const QString& folder, const std::string& output, const char* format = "mp4") {
  // A video already there is kept (the new one would take NAME_2): the
  // previous round's goes first.
  QFile::remove(QString::fromStdString(output));
  return run(
      {FERROWICK_BINARY, "--make-video", folder.toStdString(), "--output", output, "--format", format});
}

Run ffmpeg(const std::string& sequence, const std::string& output) {
  return run({"ffmpeg", "-y", "-loglevel", "error", "-framerate", "25", "-i", sequence, "-c:v", "libx264",
              "-preset", "medium", "-crf", "23", "-pix_fmt", "yuv420p", "-movflags", "+faststart", output});
}

double fileMB(const std::string& path) {
  return static_cast<double>(QFile(QString::fromStdString(path)).size()) / 1e6;
}

void compare(const char* what, const QTemporaryDir& dir, const QString& folder, const std::string& sequence,
             bool withFfmpeg) {
  // Each side three times, in turn, so a machine busy with something else
  // for a while weighs on both; the best run of each side counts.
  Run best[2];
  for (int round = 0; round < 3; ++round) {
    const Run a = ours(folder, dir.filePath("ours.mp4").toStdString());
    if (!a.ok) std::printf("  ferrowick --make-video FAILED\n");
    if (round == 0 || a.seconds < best[0].seconds) best[0] = a;
    if (!withFfmpeg) continue;
    const Run b = ffmpeg(sequence, dir.filePath("ffmpeg.mp4").toStdString());
    if (!b.ok) std::printf("  ffmpeg FAILED\n");
    if (round == 0 || b.seconds < best[1].seconds) best[1] = b;
  }
  std::printf("%s\n", what);
  std::printf("  ferrowick: %7.2f s  peak %6.1f MB  file %6.2f MB\n", best[0].seconds, best[0].peakMB,
              fileMB(dir.filePath("ours.mp4").toStdString()));
  if (!withFfmpeg) return;
  std::printf("  ffmpeg:    %7.2f s  peak %6.1f MB  file %6.2f MB\n", best[1].seconds, best[1].peakMB,
              fileMB(dir.filePath("ffmpeg.mp4").toStdString()));
  std::printf("  wall time ferrowick / ffmpeg: %.2f (goal: at most 1.20)\n",
              best[0].seconds / best[1].seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  QTemporaryDir dir;
  const bool withFfmpeg = haveFfmpeg();
  if (!withFfmpeg) std::printf("ffmpeg is not installed (make bench installs it): our side only\n");

  const QString small = dir.filePath("small");
  const std::string smallSeq = writeFrames(small, 1000, 320, 240, "bmp", 1000);
  compare("1,000 frames, 320 x 240 BMP, H.264 MP4", dir, small, smallSeq, withFfmpeg);

  const QString large = dir.filePath("large");
  const std::string largeSeq = writeFrames(large, 300, 1920, 1080, "jpg", 300);
  compare("300 frames, 1920 x 1080 JPEG, H.264 MP4", dir, large, largeSeq, withFfmpeg);

  const Run vp9 = ours(large, dir.filePath("ours.webm").toStdString(), "webm");
  std::printf(
      "300 frames, 1920 x 1080 JPEG, VP9 WebM\n  ferrowick: %7.2f s  %.1f frames a second (%.1f x real "
      "time at 25)  peak %.1f MB%s\n",
      vp9.seconds, 300 / vp9.seconds, 300 / vp9.seconds / 25, vp9.peakMB, vp9.ok ? "" : "  FAILED");

  const QString many = dir.filePath("many");
  writeFrames(many, 10000, 320, 240, "bmp", 100);
  const Run big = ours(many, dir.filePath("many.mp4").toStdString());
  std::printf(
      "10,000 frames, 320 x 240 BMP, H.264 MP4\n  ferrowick: %7.2f s  peak %.1f MB (goal: at most 150)%s\n",
      big.seconds, big.peakMB, big.ok ? "" : "  FAILED");
  return 0;
}
