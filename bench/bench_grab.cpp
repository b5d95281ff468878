// Prints what one frame costs: the grab of a 320 x 240 surface alone, the
// grab plus BMP encoding, and the grab plus writing the file durably to a
// folder on the local disk, each 1000 times; and the live graphics objects before and after.
#include <QDir>
#include <QImage>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "grab/modBitBlt.h"
#include "platform/durablefile.h"
#include "platform/gdi32.h"
#include "platform/vba.h"

namespace {

constexpr int kFrames = 1000;
constexpr int kWidth = 320;
constexpr int kHeight = 240;

void report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  const double p90 = ms[ms.size() * 9 / 10];
  std::printf("%-28s median %.3f ms   p90 %.3f ms   max %.3f ms   (%zu runs)\n", what, median, p90, ms.back(),
              ms.size());
}

std::vector<double> time(const std::function<void(int)>& frame) {
  std::vector<double> ms;
  ms.reserve(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    const auto start = std::chrono::steady_clock::now();
    frame(i);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  // The folder for the frames: the first argument, else one beside the program.
  const QString folder =
      argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir(QDir::currentPath()).filePath("bench_grab_frames");
  QDir().mkpath(folder);

  // A surface with a different colour in every pixel, like a camera frame.
  QImage surface(kWidth, kHeight, QImage::Format_RGB32);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) surface.setPixel(x, y, qRgb(x & 0xFF, y, (x * y) & 0xFF));
  HDC dc = gdi32::createSurfaceDC(&surface);

  const int before = gdi32::liveObjectCount();
  report("grab", time([&](int) { modBitBlt::GrabSurface(dc, 0, 0, kWidth, kHeight); }));
  report("grab + encodeBmp", time([&](int) {
           const olepro32::StdPicture p = modBitBlt::GrabSurface(dc, 0, 0, kWidth, kHeight);
           if (gdi32::encodeBmp(p.Handle(), p.hPal()).empty()) std::printf("encoding failed\n");
         }));
  try {
    report("grab + durable write", time([&](int i) {
             const olepro32::StdPicture p = modBitBlt::GrabSurface(dc, 0, 0, kWidth, kHeight);
             durablefile::PendingFile file(folder.toStdString(), "frame.bmp");
             file.write(gdi32::encodeBmp(p.Handle(), p.hPal()));
             file.publish(
                 [&](int) { return QDir(folder).filePath(QString("frame_%1.bmp").arg(i)).toStdString(); });
           }));
  } catch (const vba::RuntimeError& e) {
    std::printf("saving failed: error %d, %s\n", e.Number(), e.what());
  }
  const int after = gdi32::liveObjectCount();
  std::printf("live gdi32 objects: before %d, after %d (each counting the surface DC)\n", before, after);

  gdi32::releaseSurfaceDC(dc);
  QDir(folder).removeRecursively();
  return 0;
}
