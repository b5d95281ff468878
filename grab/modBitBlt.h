#pragma once
// The frame grab: copies a rectangle of a drawing surface into a picture that
// owns its bitmap and palette.
#include <cstdint>

#include "platform/olepro32.h"
#include "platform/windef.h"

namespace modBitBlt {

olepro32::StdPicture GrabSurface(HDC surface, int32_t left, int32_t top, int32_t width, int32_t height);
olepro32::StdPicture WrapBitmap(HBITMAP bitmap, HPALETTE palette);

}  // namespace modBitBlt
