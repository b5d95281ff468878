// The frame grab and the picture objects it returns.
#include <gtest/gtest.h>

#include <QImage>
#include <vector>

#include "grab/modBitBlt.h"
#include "platform/gdi32.h"
#include "platform/olepro32.h"

namespace {

using olepro32::StdPicture;

QRgb colour(int x, int y) { return qRgb(x * 30, y * 40, 255 - x - y); }

std::vector<gdi32::PALETTEENTRY> systemPalette(int n, int seed) {
  std::vector<gdi32::PALETTEENTRY> p(n);
  for (int i = 0; i < n; ++i) p[i] = {BYTE(i), BYTE(i * 3 + seed), BYTE(255 - i), 0};
  return p;
}

class GrabTest : public testing::Test {
 protected:
  void SetUp() override {
    gdi32::resetDisplayMode();
    for (int y = 0; y < surface_.height(); ++y)
      for (int x = 0; x < surface_.width(); ++x) surface_.setPixel(x, y, colour(x, y));
    dc_ = gdi32::createSurfaceDC(&surface_);
  }
  void TearDown() override {
    gdi32::releaseSurfaceDC(dc_);
    gdi32::resetDisplayMode();
  }
  StdPicture grab(int left = 0, int top = 0, int w = 8, int h = 6) {
    return modBitBlt::GrabSurface(dc_, left, top, w, h);
  }

  QImage surface_{8, 6, QImage::Format_RGB32};
  HDC dc_ = 0;
};

TEST_F(GrabTest, CopiesExactlyTheRectangleAndBlackOutside) {
  struct Case {
    int left, top, w, h;
  };
  for (const Case c : {Case{0, 0, 8, 6}, Case{2, 1, 3, 2}, Case{5, 3, 6, 5}, Case{-2, -1, 4, 4}}) {
    SCOPED_TRACE(testing::Message() << c.left << "," << c.top << " " << c.w << "x" << c.h);
    const StdPicture p = grab(c.left, c.top, c.w, c.h);
    ASSERT_EQ(p.Type(), olepro32::PICTYPE_BITMAP);
    EXPECT_EQ(p.hPal(), nullptr);  // true colour: no palette
    const QImage* img = gdi32::bitmapImage(p.Handle());
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(img->size(), QSize(c.w, c.h));
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const int sx = c.left + x, sy = c.top + y;
        const bool inside = sx >= 0 && sx < 8 && sy >= 0 && sy < 6;
        EXPECT_EQ(img->pixel(x, y), inside ? colour(sx, sy) : qRgb(0, 0, 0)) << x << "," << y;
      }
  }
}

TEST_F(GrabTest, PaletteOnlyOnA256ColourDisplayAndAsItWasAtTheGrab) {
  const auto first = systemPalette(256, 0);
  gdi32::setDisplayMode(256, first);
  const StdPicture a = grab();
  const auto second = systemPalette(256, 77);
  gdi32::setDisplayMode(256, second);
  const StdPicture b = grab();
  ASSERT_NE(a.hPal(), nullptr);
  const auto same = [](const std::vector<gdi32::PALETTEENTRY>& x, const std::vector<gdi32::PALETTEENTRY>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
      if (x[i].peRed != y[i].peRed || x[i].peGreen != y[i].peGreen || x[i].peBlue != y[i].peBlue)
        return false;
    return true;
  };
  EXPECT_TRUE(same(gdi32::paletteEntries(a.hPal()), first));
  EXPECT_TRUE(same(gdi32::paletteEntries(b.hPal()), second));

  gdi32::setDisplayMode(16, systemPalette(16, 0));
  const StdPicture c = grab();
  EXPECT_EQ(c.hPal(), nullptr);
  EXPECT_EQ(gdi32::bitmapImage(c.Handle())->format(), QImage::Format_Indexed8);
  EXPECT_FALSE(gdi32::encodeBmp(c.Handle(), c.hPal()).empty());
}

// What the palettized grab holds decodes back to the surface's colours when
// the surface shows only system palette colours.
TEST_F(GrabTest, PalettizedGrabSavesTheSurfacesColours) {
  const auto sys = systemPalette(256, 5);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const auto& e = sys[(x * 31 + y * 7) % 256];
      surface_.setPixel(x, y, qRgb(e.peRed, e.peGreen, e.peBlue));
    }
  gdi32::setDisplayMode(256, sys);
  const StdPicture p = grab();
  const std::vector<uint8_t> bytes = gdi32::encodeBmp(p.Handle(), p.hPal());
  const QImage decoded = QImage::fromData(bytes.data(), static_cast<int>(bytes.size()), "BMP");
  ASSERT_EQ(decoded.size(), surface_.size());
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(decoded.pixel(x, y), surface_.pixel(x, y)) << x << "," << y;
}

TEST_F(GrabTest, ReleasingThePictureFreesBitmapAndPalette) {
  for (int size : {0, 256}) {
    gdi32::setDisplayMode(size, systemPalette(size, 1));
    const int before = gdi32::liveObjectCount();
    const int perPicture = size ? 2 : 1;
    {
      StdPicture holder = grab();  // like an image control, replaced by each new frame
      EXPECT_EQ(gdi32::liveObjectCount(), before + perPicture);  // no DC left behind
      const HBITMAP firstBitmap = holder.Handle();
      holder = grab();
      EXPECT_EQ(gdi32::liveObjectCount(), before + perPicture);
      EXPECT_EQ(gdi32::bitmapImage(firstBitmap), nullptr);
      StdPicture copy = holder;
      holder = StdPicture();
      EXPECT_EQ(gdi32::liveObjectCount(), before + perPicture);  // the copy keeps it alive
    }
    EXPECT_EQ(gdi32::liveObjectCount(), before);
  }
}

TEST_F(GrabTest, PictureFactoryChecksItsArguments) {
  HBITMAP bm = gdi32::CreateCompatibleBitmap(dc_, 2, 2);
  const int live = gdi32::liveObjectCount();
  const olepro32::IID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  struct Case {
    UINT size, type;
    const olepro32::IID* riid;
    HRESULT expected;
  };
  for (const Case c :
       {Case{20, 1, &olepro32::IID_IDispatch, S_OK},
        Case{sizeof(olepro32::PICTDESC), 1, &olepro32::IID_IPicture, S_OK},
        Case{20, 1, &olepro32::IID_IPictureDisp, S_OK}, Case{16, 1, &olepro32::IID_IDispatch, E_INVALIDARG},
        Case{20, 0, &olepro32::IID_IDispatch, E_INVALIDARG}, Case{20, 1, &unknown, E_NOINTERFACE}}) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.type << " " << c.expected);
    olepro32::PICTDESC desc;
    desc.cbSizeofstruct = c.size;
    desc.picType = c.type;
    desc.bmp.hbitmap = bm;
    void* out = &desc;
    // Not owning, so that each success leaves the bitmap for the next case.
    EXPECT_EQ(olepro32::OleCreatePictureIndirect(&desc, *c.riid, FALSE, &out), c.expected);
    EXPECT_EQ(out != nullptr, c.expected == S_OK);
    if (out) {
      auto* pic = static_cast<olepro32::IPicture*>(out);
      void* again = nullptr;
      EXPECT_EQ(pic->QueryInterface(olepro32::IID_IPictureDisp, &again), S_OK);
      EXPECT_EQ(again, out);
      EXPECT_EQ(pic->Release(), 1u);
      EXPECT_EQ(pic->Release(), 0u);
    }
    EXPECT_EQ(gdi32::liveObjectCount(), live);
  }
  EXPECT_EQ(olepro32::OleCreatePictureIndirect(nullptr, olepro32::IID_IDispatch, 1, nullptr), E_POINTER);
  EXPECT_TRUE(gdi32::DeleteObject(bm));
}

}  // namespace
