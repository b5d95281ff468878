#include "platform/gdi32.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace gdi32 {
namespace {

// Handles are 32-bit values: the kind in the top four bits, a serial number
// below. Serial numbers only grow, so a handle is never reused in a run; id 0
// of a kind is its stock object. (user32 tags windows with 0x1.......)
constexpr uint32_t kKindMask = 0xF0000000;
constexpr uint32_t kSerialMask = 0x0FFFFFFF;
constexpr uint32_t kDcTag = 0x20000000;
constexpr uint32_t kBitmapTag = 0x30000000;
constexpr uint32_t kPaletteTag = 0x40000000;
constexpr uint32_t kStockBitmap = kBitmapTag;
constexpr uint32_t kStockPalette = kPaletteTag;

// Block transfers are always supported; RC_PALETTE is added on a palettized display.
constexpr int RC_BITBLT = 0x0001;
constexpr UINT GDI_ERROR = 0xFFFFFFFF;
constexpr WORD kPaletteVersion = 0x0300;
// 96 dots per inch.
constexpr int kDotsPerMeter = 2835;
// Indexed bitmaps hold 8-bit indices, so at most 256 palette entries matter.
constexpr int kMaxIndexed = 256;
// The static colours a palettized display always shows: the first and the last
// ten entries of its system palette (all of a palette of 20 or fewer).
constexpr int kStaticColours = 20;

struct Bitmap {
  QImage image;
  uint32_t selectedIn = 0;  // the DC holding it, 0 when none
};

struct Palette {
  std::vector<PALETTEENTRY> entries;
  int selections = 0;  // DCs holding it
};

struct Dc {
  QImage* surface = nullptr;  // set for a surface DC, null for a memory DC
  uint32_t bitmap = kStockBitmap;
  uint32_t palette = kStockPalette;
  bool realized = false;  // the selected palette has been realized since its selection
};

struct State {
  std::unordered_map<uint32_t, Dc> dcs;
  std::unordered_map<uint32_t, Bitmap> bitmaps;
  std::unordered_map<uint32_t, Palette> palettes;
  uint32_t nextDc = 1;
  uint32_t nextBitmap = 1;
  uint32_t nextPalette = 1;
  // The display: sizePalette 0 is true colour.
  int sizePalette = 0;
  std::vector<PALETTEENTRY> systemPalette;
  // The stock 1 x 1 bitmap every memory DC starts with. It is shared, as on
  // the real platform; nothing ever reads what is drawn into it.
  Bitmap stockBitmap;
  // The stock default palette has no entries of its own: a DC holding it (or
  // a palette not yet realized) maps colours into an indexed bitmap through
  // the static colours of that bitmap's colour table (the system palette when
  // the bitmap was made).
  Palette stockPalette;

  State() {
    stockBitmap.image = QImage(1, 1, QImage::Format_RGB32);
    stockBitmap.image.fill(0xFF000000u);
  }
};

State& state() {
  static State s;
  return s;
}

uint32_t keyOf(const void* h) {
  const auto v = reinterpret_cast<uintptr_t>(h);
  return v > std::numeric_limits<uint32_t>::max() ? 0 : static_cast<uint32_t>(v);
}
template <typename H>
H handleOf(uint32_t key) {
  return reinterpret_cast<H>(static_cast<uintptr_t>(key));
}

// Hands out the next serial of a kind; 0 when the kind's serials are spent.
uint32_t allocate(uint32_t& next, uint32_t tag) {
  if (next > kSerialMask) return 0;
  return tag | next++;
}

Dc* findDc(HDC h) {
  auto it = state().dcs.find(keyOf(h));
  return it == state().dcs.end() ? nullptr : &it->second;
}

Bitmap* findBitmap(uint32_t key) {
  if (key == kStockBitmap) return &state().stockBitmap;
  auto it = state().bitmaps.find(key);
  return it == state().bitmaps.end() ? nullptr : &it->second;
}

Palette* findPalette(uint32_t key) {
  if (key == kStockPalette) return &state().stockPalette;
  auto it = state().palettes.find(key);
  return it == state().palettes.end() ? nullptr : &it->second;
}

QImage* imageOf(Dc& dc) {
  if (dc.surface) return dc.surface;
  Bitmap* b = findBitmap(dc.bitmap);
  return b ? &b->image : nullptr;
}

QRgb toRgb(const PALETTEENTRY& e) { return qRgb(e.peRed, e.peGreen, e.peBlue); }

QList<QRgb> toColorTable(const std::vector<PALETTEENTRY>& entries, qsizetype size) {
  QList<QRgb> table(size, qRgb(0, 0, 0));
  const qsizetype n = std::min<qsizetype>(size, static_cast<qsizetype>(entries.size()));
  for (qsizetype i = 0; i < n; ++i) table[i] = toRgb(entries[static_cast<size_t>(i)]);
  return table;
}

// The index of the entry nearest to a colour (squared distance in RGB, the
// lowest index on a tie); entries with alpha 0 are not used.
uint8_t nearestIndex(const QList<QRgb>& table, QRgb c) {
  int best = 0;
  int bestDistance = std::numeric_limits<int>::max();
  for (qsizetype i = 0; i < table.size() && i < kMaxIndexed; ++i) {
    if (qAlpha(table[i]) == 0) continue;
    const int dr = qRed(table[i]) - qRed(c);
    const int dg = qGreen(table[i]) - qGreen(c);
    const int db = qBlue(table[i]) - qBlue(c);
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDistance) {
      bestDistance = d;
      best = static_cast<int>(i);
      if (d == 0) break;
    }
  }
  return static_cast<uint8_t>(best);
}

// A colour table with only its static colours in use.
QList<QRgb> staticColours(QList<QRgb> table) {
  const qsizetype ends = kStaticColours / 2;
  for (qsizetype i = ends; i < table.size() - ends; ++i) table[i] = 0;
  return table;
}

// Maps colours into an indexed destination, remembering each colour's index,
// since a frame holds far fewer distinct colours than pixels.
class ColorMapper {
 public:
  explicit ColorMapper(QList<QRgb> table) : table_(std::move(table)) {}
  uint8_t operator()(QRgb c) {
    c |= 0xFF000000u;
    auto it = cache_.find(c);
    if (it != cache_.end()) return it->second;
    const uint8_t i = nearestIndex(table_, c);
    cache_.emplace(c, i);
    return i;
  }

 private:
  QList<QRgb> table_;
  std::unordered_map<QRgb, uint8_t> cache_;
};

// A source in a format this file reads directly: 32-bit RGB or 8-bit indexed.
bool directlyReadable(const QImage& img) {
  const auto f = img.format();
  return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 || f == QImage::Format_Indexed8;
}

QRgb sourcePixel(const QImage& src, const uchar* line, int x) {
  if (src.format() == QImage::Format_Indexed8) {
    const int i = line[x];
    return i < src.colorCount() ? src.color(i) | 0xFF000000u : 0xFF000000u;
  }
  return reinterpret_cast<const QRgb*>(line)[x] | 0xFF000000u;
}

// Copies a w x h block from (sx, sy) in src to (dx, dy) in dst; the block lies
// inside both images. mapPalette decides the indices in an indexed destination.
void copyBlock(const QImage& src, int sx, int sy, QImage& dst, int dx, int dy, int w, int h,
               const QList<QRgb>& mapPalette) {
  if (dst.format() == QImage::Format_RGB32 && src.format() == QImage::Format_RGB32) {
    for (int j = 0; j < h; ++j) {
      std::memmove(reinterpret_cast<QRgb*>(dst.scanLine(dy + j)) + dx,
                   reinterpret_cast<const QRgb*>(src.constScanLine(sy + j)) + sx, sizeof(QRgb) * w);
    }
    return;
  }
  if (dst.format() == QImage::Format_Indexed8) {
    ColorMapper map(mapPalette);
    for (int j = 0; j < h; ++j) {
      const uchar* in = src.constScanLine(sy + j);
      uchar* out = dst.scanLine(dy + j) + dx;
      for (int i = 0; i < w; ++i) out[i] = map(sourcePixel(src, in, sx + i));
    }
    return;
  }
  // A 32-bit destination (a surface DC over any 32-bit image).
  for (int j = 0; j < h; ++j) {
    const uchar* in = src.constScanLine(sy + j);
    auto* out = reinterpret_cast<QRgb*>(dst.scanLine(dy + j)) + dx;
    for (int i = 0; i < w; ++i) out[i] = sourcePixel(src, in, sx + i);
  }
}

// The clipped span along one axis: offsets [first, last) of the block whose
// destination and source positions both fall inside their images.
struct Span {
  int64_t first;
  int64_t last;
};
Span clip(int64_t dst, int64_t dstSize, int64_t src, int64_t srcSize, int64_t length) {
  const int64_t first = std::max<int64_t>({0, -dst, -src});
  const int64_t last = std::min<int64_t>({length, dstSize - dst, srcSize - src});
  return {first, std::max(first, last)};
}

}  // namespace

// Stands in for CreateCompatibleDC: a memory DC holding the stock 1 x 1
// bitmap and the stock palette. A null hdc means the display.
HDC CreateCompatibleDC(HDC hdc) {
  if (hdc && !findDc(hdc)) return nullptr;
  const uint32_t key = allocate(state().nextDc, kDcTag);
  if (!key) return nullptr;
  state().dcs.emplace(key, Dc{});
  return handleOf<HDC>(key);
}

// Stands in for CreateCompatibleBitmap: a black bitmap in the display's
// format: 32-bit RGB on a true-colour display, 8-bit indexed on a palettized
// one with the system palette of that moment as its colour table.
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  if (!findDc(hdc) || cx <= 0 || cy <= 0) return nullptr;
  State& s = state();
  QImage image;
  if (s.sizePalette > 0) {
    image = QImage(cx, cy, QImage::Format_Indexed8);
    if (image.isNull()) return nullptr;
    const QList<QRgb> table = toColorTable(s.systemPalette, s.sizePalette);
    image.setColorTable(table);
    // Zero the row padding too, so that encoded files never carry stale bytes.
    std::memset(image.bits(), 0, static_cast<size_t>(image.sizeInBytes()));
    image.fill(nearestIndex(table, qRgb(0, 0, 0)));
  } else {
    image = QImage(cx, cy, QImage::Format_RGB32);
    if (image.isNull()) return nullptr;
    image.fill(0xFF000000u);
  }
  image.setDotsPerMeterX(kDotsPerMeter);
  image.setDotsPerMeterY(kDotsPerMeter);
  const uint32_t key = allocate(s.nextBitmap, kBitmapTag);
  if (!key) return nullptr;
  s.bitmaps.emplace(key, Bitmap{std::move(image), 0});
  return handleOf<HBITMAP>(key);
}

// Stands in for SelectObject with a bitmap: only memory DCs take bitmaps, and
// a bitmap sits in one DC at a time (the stock bitmap excepted). Returns the
// displaced bitmap; null on failure. Palettes go through SelectPalette.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  Dc* dc = findDc(hdc);
  const uint32_t key = keyOf(h);
  if (!dc || dc->surface || (key & kKindMask) != kBitmapTag) return nullptr;
  Bitmap* incoming = findBitmap(key);
  if (!incoming) return nullptr;
  const uint32_t dcKey = keyOf(hdc);
  if (key != kStockBitmap && incoming->selectedIn != 0 && incoming->selectedIn != dcKey) return nullptr;
  const uint32_t previous = dc->bitmap;
  if (previous != kStockBitmap) findBitmap(previous)->selectedIn = 0;
  if (key != kStockBitmap) incoming->selectedIn = dcKey;
  dc->bitmap = key;
  return handleOf<HGDIOBJ>(previous);
}

// Stands in for GetDeviceCaps: every DC reports the display's capabilities.
int GetDeviceCaps(HDC hdc, int index) {
  if (!findDc(hdc)) return 0;
  const bool palettized = state().sizePalette > 0;
  switch (index) {
    case RASTERCAPS:
      return RC_BITBLT | (palettized ? RC_PALETTE : 0);
    case SIZEPALETTE:
      return state().sizePalette;
    case BITSPIXEL:
      return palettized ? 8 : 32;
    default:
      return 0;
  }
}

// Stands in for GetSystemPaletteEntries: copies entries of the display's
// system palette; 0 on a true-colour display. A null buffer asks for the size.
UINT GetSystemPaletteEntries(HDC hdc, UINT iStart, UINT cEntries, PALETTEENTRY* pPalEntries) {
  const State& s = state();
  if (!findDc(hdc) || s.sizePalette == 0) return 0;
  const auto size = static_cast<UINT>(s.sizePalette);
  if (!pPalEntries) return size;
  if (iStart >= size) return 0;
  const UINT n = std::min(cEntries, size - iStart);
  std::copy_n(s.systemPalette.begin() + iStart, n, pPalEntries);
  return n;
}

// Stands in for CreatePalette: copies palNumEntries entries of a version
// 0x300 record. The record is read as bytes, since callers lay out their own
// record with room for as many entries as they pass.
HPALETTE CreatePalette(const LOGPALETTE* plpal) {
  if (!plpal) return nullptr;
  const auto* bytes = reinterpret_cast<const unsigned char*>(plpal);
  WORD version = 0;
  WORD count = 0;
  std::memcpy(&version, bytes + offsetof(LOGPALETTE, palVersion), sizeof version);
  std::memcpy(&count, bytes + offsetof(LOGPALETTE, palNumEntries), sizeof count);
  if (version != kPaletteVersion || count == 0) return nullptr;
  Palette p;
  p.entries.resize(count);
  std::memcpy(p.entries.data(), bytes + offsetof(LOGPALETTE, palPalEntry), sizeof(PALETTEENTRY) * count);
  const uint32_t key = allocate(state().nextPalette, kPaletteTag);
  if (!key) return nullptr;
  state().palettes.emplace(key, std::move(p));
  return handleOf<HPALETTE>(key);
}

// Stands in for SelectPalette: returns the displaced palette; null on failure.
// The background flag changes nothing here: there is no foreground window to
// compete with for the system palette.
HPALETTE SelectPalette(HDC hdc, HPALETTE hPal, BOOL /*bForceBkgd*/) {
  Dc* dc = findDc(hdc);
  const uint32_t key = keyOf(hPal);
  Palette* incoming = findPalette(key);
  if (!dc || !incoming) return nullptr;
  const uint32_t previous = dc->palette;
  findPalette(previous)->selections--;
  incoming->selections++;
  dc->palette = key;
  dc->realized = false;
  return handleOf<HPALETTE>(previous);
}

// Stands in for RealizePalette: from now on the DC's palette governs how
// colours map into its indexed bitmap. Returns the number of entries it brings
// (0 for the stock palette).
UINT RealizePalette(HDC hdc) {
  Dc* dc = findDc(hdc);
  if (!dc) return GDI_ERROR;
  dc->realized = true;
  return static_cast<UINT>(findPalette(dc->palette)->entries.size());
}

// Stands in for BitBlt with SRCCOPY. Destination pixels whose source lies
// outside the source image keep their value. Into an indexed bitmap each
// colour becomes the nearest entry of the destination DC's realized palette;
// without one (the stock palette, or a palette selected but not realized) the
// nearest of the static colours in the bitmap's colour table.
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  Dc* dstDc = findDc(hdc);
  Dc* srcDc = findDc(hdcSrc);
  if (!dstDc || !srcDc || rop != SRCCOPY || cx < 0 || cy < 0) return FALSE;
  QImage* dst = imageOf(*dstDc);
  const QImage* src = imageOf(*srcDc);
  if (!dst || !src || dst->isNull() || src->isNull()) return FALSE;
  const Span sx = clip(x, dst->width(), x1, src->width(), cx);
  const Span sy = clip(y, dst->height(), y1, src->height(), cy);
  const int w = static_cast<int>(sx.last - sx.first);
  const int h = static_cast<int>(sy.last - sy.first);
  if (w == 0 || h == 0) return TRUE;
  const int srcX = static_cast<int>(x1 + sx.first);
  const int srcY = static_cast<int>(y1 + sy.first);
  const int dstX = static_cast<int>(x + sx.first);
  const int dstY = static_cast<int>(y + sy.first);

  QList<QRgb> mapPalette;
  if (dst->format() == QImage::Format_Indexed8) {
    const Palette* pal = findPalette(dstDc->palette);
    mapPalette = pal->entries.empty() || !dstDc->realized
                     ? staticColours(dst->colorTable())
                     : toColorTable(pal->entries, std::min<qsizetype>(kMaxIndexed, pal->entries.size()));
  } else if (dst->depth() != 32) {
    return FALSE;  // no surface has another depth
  }
  if (src == dst || !directlyReadable(*src)) {
    // A private copy of the block: the source may overlap the destination, or
    // needs converting first.
    QImage block = src->copy(srcX, srcY, w, h);
    if (!directlyReadable(block)) block = block.convertToFormat(QImage::Format_RGB32);
    copyBlock(block, 0, 0, *dst, dstX, dstY, w, h, mapPalette);
  } else {
    copyBlock(*src, srcX, srcY, *dst, dstX, dstY, w, h, mapPalette);
  }
  return TRUE;
}

// Stands in for DeleteDC: frees a memory DC; what it holds stays alive and
// comes out of it. DCs from GetDC go back through ReleaseDC instead.
BOOL DeleteDC(HDC hdc) {
  Dc* dc = findDc(hdc);
  if (!dc || dc->surface) return FALSE;
  if (dc->bitmap != kStockBitmap) findBitmap(dc->bitmap)->selectedIn = 0;
  findPalette(dc->palette)->selections--;
  state().dcs.erase(keyOf(hdc));
  return TRUE;
}

// Stands in for DeleteObject: frees a bitmap or palette that no DC holds.
// Stock objects, selected objects and unknown handles: FALSE, nothing freed.
BOOL DeleteObject(HGDIOBJ ho) {
  const uint32_t key = keyOf(ho);
  State& s = state();
  if (auto b = s.bitmaps.find(key); b != s.bitmaps.end()) {
    if (b->second.selectedIn != 0) return FALSE;
    s.bitmaps.erase(b);
    return TRUE;
  }
  if (auto p = s.palettes.find(key); p != s.palettes.end()) {
    if (p->second.selections > 0) return FALSE;
    s.palettes.erase(p);
    return TRUE;
  }
  return FALSE;
}

// A palettized display holds 1 to 256 entries (larger sizes are taken as 256,
// since bitmaps hold 8-bit indices); systemPalette is padded with black or cut
// to that size. A 16-entry display, for instance, makes 8-bit indexed bitmaps
// with a 16-entry colour table, and encodeBmp writes them as 8-bit files.
void setDisplayMode(int sizePalette, const std::vector<PALETTEENTRY>& systemPalette) {
  State& s = state();
  s.sizePalette = std::clamp(sizePalette, 0, kMaxIndexed);
  s.systemPalette = systemPalette;
  s.systemPalette.resize(static_cast<size_t>(s.sizePalette));
}

void resetDisplayMode() { setDisplayMode(0, {}); }

HDC createSurfaceDC(QImage* surface) {
  if (!surface) return nullptr;
  const uint32_t key = allocate(state().nextDc, kDcTag);
  if (!key) return nullptr;
  Dc dc;
  dc.surface = surface;
  state().dcs.emplace(key, dc);
  return handleOf<HDC>(key);
}

BOOL releaseSurfaceDC(HDC hdc) {
  Dc* dc = findDc(hdc);
  if (!dc || !dc->surface) return FALSE;
  findPalette(dc->palette)->selections--;
  state().dcs.erase(keyOf(hdc));
  return TRUE;
}

const QImage* bitmapImage(HBITMAP hbm) {
  const Bitmap* b = findBitmap(keyOf(hbm));
  return b ? &b->image : nullptr;
}

std::vector<PALETTEENTRY> paletteEntries(HPALETTE hpal) {
  const Palette* p = findPalette(keyOf(hpal));
  return p ? p->entries : std::vector<PALETTEENTRY>{};
}

// Qt's BMP writer writes a 32-bit RGB image as a 24-bit BI_RGB file and an
// 8-bit indexed image with more than 16 colours as an 8-bit file with its
// whole colour table, both bottom-up with rows padded to 4 bytes. So an
// indexed bitmap gets a 256-entry table (hpal's entries, else its own, padded
// with black) before it goes to the writer; nothing is written by hand.
QImage fileImage(HBITMAP hbm, HPALETTE hpal) {
  const Bitmap* b = findBitmap(keyOf(hbm));
  if (!b || b->image.isNull()) return {};
  const Palette* pal = nullptr;
  if (hpal) {
    pal = findPalette(keyOf(hpal));
    if (!pal) return {};
  }
  QImage image = b->image;
  if (image.format() == QImage::Format_Indexed8) {
    QList<QRgb> table;
    if (pal && !pal->entries.empty()) {
      table = toColorTable(pal->entries, kMaxIndexed);
    } else {
      table = image.colorTable();
      table.resize(kMaxIndexed, qRgb(0, 0, 0));
    }
    if (table != image.colorTable()) image.setColorTable(table);
  }
  return image;
}

std::vector<uint8_t> encodeBmp(const QImage& image) {
  if (image.isNull()) return {};
  QByteArray bytes;
  // Room for the headers, a colour table and the rows, so the buffer never
  // grows (and copies) while the file is written.
  bytes.reserve(image.sizeInBytes() + 2048);
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "BMP")) return {};
  return std::vector<uint8_t>(bytes.cbegin(), bytes.cend());
}

std::vector<uint8_t> encodeBmp(HBITMAP hbm, HPALETTE hpal) { return encodeBmp(fileImage(hbm, hpal)); }

int liveObjectCount() {
  const State& s = state();
  return static_cast<int>(s.dcs.size() + s.bitmaps.size() + s.palettes.size());
}

}  // namespace gdi32
