// The graphics stand-in: BMP bytes, object lifetimes and block copies.
#include <gtest/gtest.h>

#include <QImage>
#include <cstring>
#include <set>
#include <vector>

#include "platform/gdi32.h"

namespace {

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

std::vector<gdi32::PALETTEENTRY> ramp(int n, int seed) {
  std::vector<gdi32::PALETTEENTRY> p(n);
  for (int i = 0; i < n; ++i) p[i] = {BYTE(i), BYTE(255 - i), BYTE(i * 7 + seed), 0};
  return p;
}

// A bitmap holding the pixels of an image, made through the API the grab uses.
HBITMAP makeBitmap(QImage pixels) {
  HDC surface = gdi32::createSurfaceDC(&pixels);
  HDC dc = gdi32::CreateCompatibleDC(surface);
  HBITMAP bm = gdi32::CreateCompatibleBitmap(surface, pixels.width(), pixels.height());
  HGDIOBJ old = gdi32::SelectObject(dc, bm);
  gdi32::BitBlt(dc, 0, 0, pixels.width(), pixels.height(), surface, 0, 0, gdi32::SRCCOPY);
  gdi32::SelectObject(dc, old);
  gdi32::DeleteDC(dc);
  gdi32::releaseSurfaceDC(surface);
  return bm;
}

QRgb colour(int x, int y) { return qRgb(10 + x * 40, 20 + y * 50, 30 + x + y); }

QImage pattern(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, colour(x, y));
  return img;
}

class Gdi32Test : public testing::Test {
 protected:
  void SetUp() override { gdi32::resetDisplayMode(); }
  void TearDown() override { gdi32::resetDisplayMode(); }
};

TEST_F(Gdi32Test, TrueColourBmpMatchesFixture) {
  QImage img(3, 2, QImage::Format_RGB32);
  img.fill(qRgb(0x30, 0x20, 0x10));
  img.setPixel(0, 0, qRgb(0xFF, 0, 0));  // top-left, written in the last row
  HBITMAP bm = makeBitmap(img);
  const std::vector<uint8_t> expected = {
      'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                // file header
      40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,  // size, w, h, planes, bits, BI_RGB
      24, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0x10, 0x20,
      0x30, 0x10, 0x20, 0x30, 0, 0, 0,  // bottom
                                        // row first
      0, 0, 0xFF, 0x10, 0x20, 0x30, 0x10, 0x20, 0x30, 0, 0, 0};
  EXPECT_EQ(gdi32::encodeBmp(bm, 0), expected);
  gdi32::DeleteObject(bm);
}

// Headers, bottom-up rows, row padding and (for 8 bits) the colour table.
TEST_F(Gdi32Test, BmpLayoutForOddWidths) {
  struct Case {
    int w, h, paletteSize;
  };
  for (const Case c : {Case{3, 2, 0}, Case{5, 3, 0}, Case{3, 2, 256}, Case{5, 3, 256}, Case{5, 3, 16}}) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " palette " << c.paletteSize);
    const auto sys = ramp(c.paletteSize, 3);
    gdi32::setDisplayMode(c.paletteSize, sys);
    QImage img(c.w, c.h, QImage::Format_RGB32);
    for (int y = 0; y < c.h; ++y)  // palette colours, so indices are known
      for (int x = 0; x < c.w; ++x)
        img.setPixel(
            x, y,
            c.paletteSize ? qRgb(sys[x + y].peRed, sys[x + y].peGreen, sys[x + y].peBlue) : colour(x, y));
    HBITMAP bm = makeBitmap(img);
    const std::vector<uint8_t> b = gdi32::encodeBmp(bm, 0);
    const int bits = c.paletteSize ? 8 : 24;
    const size_t stride = (c.w * bits / 8 + 3) / 4 * 4;
    const size_t offset = 54 + (c.paletteSize ? 1024 : 0);
    ASSERT_EQ(b.size(), offset + stride * c.h);
    EXPECT_EQ(u32(b, 2), b.size());
    EXPECT_EQ(u32(b, 10), offset);
    EXPECT_EQ(u32(b, 14), 40u);
    EXPECT_EQ(u32(b, 18), uint32_t(c.w));
    EXPECT_EQ(u32(b, 22), uint32_t(c.h));  // positive: bottom-up
    EXPECT_EQ(u16(b, 28), bits);
    EXPECT_EQ(u32(b, 30), 0u);  // BI_RGB
    EXPECT_EQ(u32(b, 34), stride * c.h);
    EXPECT_EQ(u32(b, 46), c.paletteSize ? 256u : 0u);  // colours used
    for (int i = 0; i < (c.paletteSize ? 256 : 0); ++i) {
      const auto e = i < c.paletteSize ? sys[i] : gdi32::PALETTEENTRY{};
      EXPECT_EQ(u32(b, 54 + 4 * i), uint32_t(e.peBlue | e.peGreen << 8 | e.peRed << 16)) << i;
    }
    for (int y = 0; y < c.h; ++y) {
      const size_t row = offset + (c.h - 1 - y) * stride;
      for (int x = 0; x < c.w; ++x) {
        if (c.paletteSize) {
          EXPECT_EQ(b[row + x], x + y);
        } else {
          const QRgb p = colour(x, y);
          EXPECT_EQ(b[row + 3 * x] | b[row + 3 * x + 1] << 8 | b[row + 3 * x + 2] << 16, int(p & 0xFFFFFF));
        }
      }
      for (size_t pad = c.w * bits / 8; pad < stride; ++pad) EXPECT_EQ(b[row + pad], 0) << "padding";
    }
    gdi32::DeleteObject(bm);
  }
}

TEST_F(Gdi32Test, EightBitBmpTakesThePalettesEntries) {
  gdi32::setDisplayMode(256, ramp(256, 0));
  HBITMAP bm = makeBitmap(pattern(2, 2));
  const auto entries = ramp(256, 99);
  std::vector<uint8_t> record(4 + 4 * 256);
  record[0] = 0x00, record[1] = 0x03, record[2] = 0x00, record[3] = 0x01;
  std::memcpy(record.data() + 4, entries.data(), 4 * 256);
  HPALETTE pal = gdi32::CreatePalette(reinterpret_cast<const gdi32::LOGPALETTE*>(record.data()));
  ASSERT_NE(pal, nullptr);
  const std::vector<uint8_t> b = gdi32::encodeBmp(bm, pal);
  ASSERT_EQ(b.size(), 54u + 1024 + 2 * 4);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(u32(b, 54 + 4 * i),
              uint32_t(entries[i].peBlue | entries[i].peGreen << 8 | entries[i].peRed << 16));
  EXPECT_TRUE(gdi32::encodeBmp(reinterpret_cast<HBITMAP>(0x3FFFFFF0), 0).empty());
  gdi32::DeleteObject(bm);
  gdi32::DeleteObject(pal);
}

TEST_F(Gdi32Test, DeviceCapsFollowTheDisplay) {
  struct Case {
    int size, rasterPalette, sizePalette, bits;
  };
  for (const Case c :
       {Case{0, 0, 0, 32}, Case{256, gdi32::RC_PALETTE, 256, 8}, Case{16, gdi32::RC_PALETTE, 16, 8}}) {
    auto sys = ramp(c.size, 1);
    if (c.size) sys[0] = {};  // black, as on any palettized display
    gdi32::setDisplayMode(c.size, sys);
    HDC dc = gdi32::CreateCompatibleDC(0);
    EXPECT_EQ(gdi32::GetDeviceCaps(dc, gdi32::RASTERCAPS) & gdi32::RC_PALETTE, c.rasterPalette);
    EXPECT_EQ(gdi32::GetDeviceCaps(dc, gdi32::SIZEPALETTE), c.sizePalette);
    EXPECT_EQ(gdi32::GetDeviceCaps(dc, gdi32::BITSPIXEL), c.bits);
    std::vector<gdi32::PALETTEENTRY> got(4);
    EXPECT_EQ(gdi32::GetSystemPaletteEntries(dc, 2, 4, got.data()), c.size ? 4u : 0u);
    EXPECT_EQ(got[3].peBlue, c.size ? sys[5].peBlue : 0);
    HBITMAP bm = gdi32::CreateCompatibleBitmap(dc, 3, 2);
    const QImage* img = gdi32::bitmapImage(bm);
    EXPECT_EQ(img->format(), c.size ? QImage::Format_Indexed8 : QImage::Format_RGB32);
    EXPECT_EQ(img->pixel(2, 1), qRgb(0, 0, 0));  // a new bitmap is black
    gdi32::DeleteObject(bm);
    gdi32::DeleteDC(dc);
  }
}

// Destination pixels whose source lies outside the source image keep their
// value; everything else is the source pixel at the same offset.
TEST_F(Gdi32Test, BitBltClipsToSourceAndDestination) {
  struct Case {
    int x, y, cx, cy, x1, y1;
  };
  for (const Case c : {Case{0, 0, 6, 5, 0, 0}, Case{1, 2, 3, 2, 2, 1}, Case{2, 1, 9, 9, 1, 0},
                       Case{0, 0, 6, 5, -2, -1}, Case{-1, -1, 3, 3, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.cx << "x" << c.cy << " from " << c.x1
                                    << "," << c.y1);
    QImage marker(6, 5, QImage::Format_RGB32);
    marker.fill(qRgb(1, 2, 3));
    HBITMAP bm = makeBitmap(marker);
    QImage src = pattern(4, 3);
    HDC surface = gdi32::createSurfaceDC(&src);
    HDC dc = gdi32::CreateCompatibleDC(surface);
    HGDIOBJ old = gdi32::SelectObject(dc, bm);
    EXPECT_TRUE(gdi32::BitBlt(dc, c.x, c.y, c.cx, c.cy, surface, c.x1, c.y1, gdi32::SRCCOPY));
    gdi32::SelectObject(dc, old);
    const QImage* out = gdi32::bitmapImage(bm);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) {
        const int sx = x - c.x + c.x1, sy = y - c.y + c.y1;
        const bool copied = x >= c.x && x < c.x + c.cx && y >= c.y && y < c.y + c.cy && sx >= 0 && sx < 4 &&
                            sy >= 0 && sy < 3;
        EXPECT_EQ(out->pixel(x, y), copied ? colour(sx, sy) : qRgb(1, 2, 3)) << x << "," << y;
      }
    gdi32::DeleteDC(dc);
    gdi32::releaseSurfaceDC(surface);
    gdi32::DeleteObject(bm);
  }
}

TEST_F(Gdi32Test, IndexedDestinationUsesTheSelectedPalette) {
  gdi32::setDisplayMode(16, ramp(16, 0));
  QImage src(2, 1, QImage::Format_RGB32);
  src.setPixel(0, 0, qRgb(200, 200, 200));
  src.setPixel(1, 0, qRgb(6, 249, 36));
  HDC surface = gdi32::createSurfaceDC(&src);
  HDC dc = gdi32::CreateCompatibleDC(surface);
  HBITMAP bm = gdi32::CreateCompatibleBitmap(surface, 2, 1);
  HGDIOBJ old = gdi32::SelectObject(dc, bm);
  gdi32::BitBlt(dc, 0, 0, 2, 1, surface, 0, 0, gdi32::SRCCOPY);
  EXPECT_EQ(gdi32::bitmapImage(bm)->pixelIndex(1, 0), 5);  // nearest in the system palette
  std::vector<uint8_t> record(4 + 4 * 3, 0);
  record[1] = 0x03, record[2] = 3;  // version 0x300, 3 entries: black, grey 200, white
  for (int i = 0; i < 3; ++i) record[4 + 4 * 1 + i] = 200, record[4 + 4 * 2 + i] = 255;
  HPALETTE pal = gdi32::CreatePalette(reinterpret_cast<const gdi32::LOGPALETTE*>(record.data()));
  ASSERT_EQ(gdi32::paletteEntries(pal).size(), 3u);
  HPALETTE oldPal = gdi32::SelectPalette(dc, pal, FALSE);
  gdi32::BitBlt(dc, 0, 0, 2, 1, surface, 0, 0, gdi32::SRCCOPY);
  EXPECT_EQ(gdi32::bitmapImage(bm)->pixelIndex(1, 0), 5) << "a palette counts only once realized";
  EXPECT_EQ(gdi32::RealizePalette(dc), 3u);
  gdi32::BitBlt(dc, 0, 0, 2, 1, surface, 0, 0, gdi32::SRCCOPY);
  EXPECT_EQ(gdi32::bitmapImage(bm)->pixelIndex(0, 0), 1);
  EXPECT_EQ(gdi32::bitmapImage(bm)->pixelIndex(1, 0), 0);
  EXPECT_FALSE(gdi32::DeleteObject(pal));  // still selected
  gdi32::SelectPalette(dc, oldPal, FALSE);
  EXPECT_TRUE(gdi32::DeleteObject(pal));
  gdi32::SelectObject(dc, old);
  gdi32::DeleteDC(dc);
  gdi32::releaseSurfaceDC(surface);
  gdi32::DeleteObject(bm);
}

TEST_F(Gdi32Test, SelectedBitmapCannotBeDeletedOrSharedAndStockIsNotLive) {
  const int before = gdi32::liveObjectCount();
  HDC a = gdi32::CreateCompatibleDC(0);
  HDC b = gdi32::CreateCompatibleDC(0);
  HBITMAP bm = gdi32::CreateCompatibleBitmap(a, 4, 4);
  EXPECT_EQ(gdi32::liveObjectCount(), before + 3);
  HGDIOBJ stock = gdi32::SelectObject(a, bm);
  ASSERT_NE(stock, nullptr);
  EXPECT_EQ(gdi32::bitmapImage(static_cast<HBITMAP>(stock))->size(), QSize(1, 1));
  EXPECT_FALSE(gdi32::DeleteObject(stock));
  EXPECT_EQ(gdi32::SelectObject(b, bm), nullptr);  // one DC at a time
  EXPECT_FALSE(gdi32::DeleteObject(bm));
  EXPECT_EQ(gdi32::SelectObject(a, stock), bm);
  EXPECT_TRUE(gdi32::DeleteObject(bm));
  EXPECT_FALSE(gdi32::DeleteObject(bm));
  gdi32::DeleteDC(a);
  gdi32::DeleteDC(b);
  EXPECT_EQ(gdi32::liveObjectCount(), before);
}

TEST_F(Gdi32Test, HandlesAreNeverReused) {
  std::set<void*> seen;
  const auto entries = ramp(1, 0);
  const gdi32::LOGPALETTE record{0x300, 1, {entries[0]}};
  for (int i = 0; i < 50; ++i) {
    HDC dc = gdi32::CreateCompatibleDC(0);
    HBITMAP bm = gdi32::CreateCompatibleBitmap(dc, 1, 1);
    HPALETTE pal = gdi32::CreatePalette(&record);
    EXPECT_TRUE(seen.insert(dc).second && seen.insert(bm).second && seen.insert(pal).second);
    EXPECT_FALSE(gdi32::DeleteObject(dc));  // a DC is not a bitmap or palette
    gdi32::DeleteDC(dc);
    gdi32::DeleteObject(bm);
    gdi32::DeleteObject(pal);
    EXPECT_EQ(gdi32::bitmapImage(bm), nullptr);
    EXPECT_EQ(gdi32::GetDeviceCaps(dc, gdi32::BITSPIXEL), 0);
  }
}

}  // namespace
