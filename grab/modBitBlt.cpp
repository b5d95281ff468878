#include "grab/modBitBlt.h"

#include "platform/gdi32.h"

namespace modBitBlt {
namespace {

// The palette record with room for a full 256-entry system palette.
struct LogPalette256 {
  WORD palVersion;
  WORD palNumEntries;
  gdi32::PALETTEENTRY palPalEntry[256];
};
static_assert(sizeof(LogPalette256) == 1028, "the palette record is 4 bytes of header and 256 entries");

constexpr WORD kPaletteVersion = 0x0300;
constexpr UINT kSystemPaletteSize = 256;
// The platform's published size of PICTDESC.
constexpr UINT kPictDescSize = 20;
// The picture takes ownership of the bitmap and palette.
constexpr BOOL kOwn = 1;

}  // namespace

olepro32::StdPicture GrabSurface(HDC surface, int32_t left, int32_t top, int32_t width, int32_t height) {
  HDC dc = gdi32::CreateCompatibleDC(surface);
  HBITMAP bitmap = gdi32::CreateCompatibleBitmap(surface, width, height);
  HGDIOBJ oldBitmap = gdi32::SelectObject(dc, bitmap);

  const bool hasPalette = (gdi32::GetDeviceCaps(surface, gdi32::RASTERCAPS) & gdi32::RC_PALETTE) != 0;
  const int paletteSize = gdi32::GetDeviceCaps(surface, gdi32::SIZEPALETTE);

  // Only a 256-colour palettized surface carries its system palette along.
  HPALETTE palette = 0;
  HPALETTE oldPalette = 0;
  if (hasPalette && paletteSize == static_cast<int>(kSystemPaletteSize)) {
    LogPalette256 record{};  // zero-filled
    record.palVersion = kPaletteVersion;
    record.palNumEntries = kSystemPaletteSize;
    gdi32::GetSystemPaletteEntries(surface, 0, kSystemPaletteSize, record.palPalEntry);
    palette = gdi32::CreatePalette(reinterpret_cast<const gdi32::LOGPALETTE*>(&record));
    oldPalette = gdi32::SelectPalette(dc, palette, FALSE);
    gdi32::RealizePalette(dc);
  }

  gdi32::BitBlt(dc, 0, 0, width, height, surface, left, top, gdi32::SRCCOPY);

  // Both objects come out of the context before it goes, so the picture can own them.
  gdi32::SelectObject(dc, oldBitmap);
  if (palette) gdi32::SelectPalette(dc, oldPalette, FALSE);
  gdi32::DeleteDC(dc);

  return WrapBitmap(bitmap, palette);
}

olepro32::StdPicture WrapBitmap(HBITMAP bitmap, HPALETTE palette) {
  olepro32::PICTDESC desc;
  desc.cbSizeofstruct = kPictDescSize;
  desc.picType = olepro32::PICTYPE_BITMAP;
  desc.bmp.hbitmap = bitmap;
  desc.bmp.hpal = palette;
  void* picture = 0;
  olepro32::OleCreatePictureIndirect(&desc, olepro32::IID_IDispatch, kOwn, &picture);
  return olepro32::StdPicture(static_cast<olepro32::IPictureDisp*>(picture));
}

}  // namespace modBitBlt
