#pragma once
// Stand-in for the graphics device interface: device contexts, compatible
// bitmaps, palettes and block copies over images in memory.
#include <cstdint>
#include <vector>

#include "platform/windef.h"

class QImage;

namespace gdi32 {

constexpr int RASTERCAPS = 38;
constexpr int SIZEPALETTE = 104;
constexpr int BITSPIXEL = 12;
constexpr int RC_PALETTE = 0x0100;
constexpr DWORD SRCCOPY = 0x00CC0020;

struct PALETTEENTRY {
  BYTE peRed = 0;
  BYTE peGreen = 0;
  BYTE peBlue = 0;
  BYTE peFlags = 0;
};

// The platform's variable-length palette record: palNumEntries entries follow
// the header; callers allocate room for as many as they pass.
struct LOGPALETTE {
  WORD palVersion = 0;
  WORD palNumEntries = 0;
  PALETTEENTRY palPalEntry[1];
};

HDC CreateCompatibleDC(HDC hdc);
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
// SelectObject: selects a bitmap into a memory context and returns the one it
// displaces (each memory context starts with a 1 x 1 stock bitmap).
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
int GetDeviceCaps(HDC hdc, int index);
UINT GetSystemPaletteEntries(HDC hdc, UINT iStart, UINT cEntries, PALETTEENTRY* pPalEntries);
HPALETTE CreatePalette(const LOGPALETTE* plpal);
HPALETTE SelectPalette(HDC hdc, HPALETTE hPal, BOOL bForceBkgd);
UINT RealizePalette(HDC hdc);
// BitBlt: copies a rectangle, clipped to the source and the destination.
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop);
BOOL DeleteDC(HDC hdc);
BOOL DeleteObject(HGDIOBJ ho);

// ---------------------------------------------------------------------------
// For the other stand-ins in platform/ and for tests.

// The emulated display: true colour (sizePalette 0) or palettized with the
// given number of palette entries and system palette. Default: true colour.
void setDisplayMode(int sizePalette, const std::vector<PALETTEENTRY>& systemPalette);
void resetDisplayMode();

// A device context over a window's surface (user32's GetDC / ReleaseDC).
HDC createSurfaceDC(QImage* surface);
BOOL releaseSurfaceDC(HDC hdc);

// The pixels of a bitmap (Format_RGB32 on a true-colour display,
// Format_Indexed8 on a palettized one); null for an unknown handle.
const QImage* bitmapImage(HBITMAP hbm);
// The entries of a palette; empty for an unknown handle.
std::vector<PALETTEENTRY> paletteEntries(HPALETTE hpal);
// The bytes of a BMP file holding the bitmap: 24 bits a pixel for a
// true-colour bitmap; 8 bits with a 256-entry colour table (hpal's entries) for
// a palettized one; uncompressed, bottom-up rows padded to 4 bytes. Empty for
// an unknown handle.
std::vector<uint8_t> encodeBmp(HBITMAP hbm, HPALETTE hpal);
// The picture such a file holds (sharing the bitmap's pixels); null for an
// unknown handle. Its BMP bytes, as encodeBmp writes them, on any thread.
QImage fileImage(HBITMAP hbm, HPALETTE hpal);
std::vector<uint8_t> encodeBmp(const QImage& fileImage);
// Device contexts, bitmaps and palettes alive now (stock objects excluded).
int liveObjectCount();

}  // namespace gdi32
