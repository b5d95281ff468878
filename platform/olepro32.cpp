#include "platform/olepro32.h"

#include <cstring>

#include "platform/gdi32.h"

namespace olepro32 {
namespace {

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The platform's published size of the picture description (32-bit handles).
constexpr UINT kPublishedPictDescSize = 20;

bool isPictureInterface(REFIID riid) {
  return riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPicture || riid == IID_IPictureDisp;
}

// One object serves every interface the picture answers to.
class Picture final : public IPicture {
 public:
  Picture(HBITMAP bitmap, HPALETTE palette, bool own) : bitmap_(bitmap), palette_(palette), own_(own) {}

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    if (isPictureInterface(riid)) {
      AddRef();
      *ppvObject = static_cast<IPicture*>(this);
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }

  ULONG AddRef() override { return ++refs_; }

  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT get_Handle(HBITMAP* pHandle) override {
    if (!pHandle) return E_POINTER;
    *pHandle = bitmap_;
    return S_OK;
  }

  HRESULT get_hPal(HPALETTE* phPal) override {
    if (!phPal) return E_POINTER;
    *phPal = palette_;
    return S_OK;
  }

  HRESULT get_Type(SHORT* pType) override {
    if (!pType) return E_POINTER;
    *pType = PICTYPE_BITMAP;
    return S_OK;
  }

 private:
  // An owning picture frees what it was given when its last reference goes.
  ~Picture() override {
    if (!own_) return;
    if (bitmap_) gdi32::DeleteObject(bitmap_);
    if (palette_) gdi32::DeleteObject(palette_);
  }

  HBITMAP bitmap_;
  HPALETTE palette_;
  bool own_;
  ULONG refs_ = 0;
};

}  // namespace

bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// Stands in for OleCreatePictureIndirect, for bitmap pictures only.
HRESULT OleCreatePictureIndirect(const PICTDESC* lpPictDesc, REFIID riid, BOOL fOwn, void** lplpvObj) {
  if (!lplpvObj) return E_POINTER;
  *lplpvObj = nullptr;
  if (!lpPictDesc) return E_POINTER;
  if (lpPictDesc->cbSizeofstruct != kPublishedPictDescSize &&
      lpPictDesc->cbSizeofstruct != sizeof(PICTDESC)) {
    return E_INVALIDARG;
  }
  if (lpPictDesc->picType != static_cast<UINT>(PICTYPE_BITMAP)) return E_INVALIDARG;
  // An unknown interface fails before any object exists, so the handles stay
  // with the caller.
  if (!isPictureInterface(riid)) {
    return E_NOINTERFACE;
  }
  auto* picture = new Picture(lpPictDesc->bmp.hbitmap, lpPictDesc->bmp.hpal, fOwn != FALSE);
  return picture->QueryInterface(riid, lplpvObj);
}

// Stands in for the picture's Handle property.
HBITMAP StdPicture::Handle() const {
  HBITMAP h = nullptr;
  if (p_) p_->get_Handle(&h);
  return h;
}

// Stands in for the picture's hPal property.
HPALETTE StdPicture::hPal() const {
  HPALETTE h = nullptr;
  if (p_) p_->get_hPal(&h);
  return h;
}

// Stands in for the picture's Type property.
SHORT StdPicture::Type() const {
  SHORT t = PICTYPE_NONE;
  if (p_) p_->get_Type(&t);
  return t;
}

}  // namespace olepro32
