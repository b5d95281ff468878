#pragma once
// Stand-in for the OLE picture factory: picture objects that own a bitmap and
// its palette, and the picture description they are made from.
#include <utility>

#include "platform/windef.h"

namespace olepro32 {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
bool operator==(const GUID& a, const GUID& b);

// {00020400-0000-0000-C000-000000000046}
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {7BF80980-BF32-101A-8BBB-00AA00300CAB}
inline constexpr IID IID_IPicture = {
    0x7BF80980, 0xBF32, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};
// {7BF80981-BF32-101A-8BBB-00AA00300CAB}
inline constexpr IID IID_IPictureDisp = {
    0x7BF80981, 0xBF32, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};

constexpr short PICTYPE_UNINITIALIZED = -1;
constexpr short PICTYPE_NONE = 0;
constexpr short PICTYPE_BITMAP = 1;

struct PICTDESC {
  UINT cbSizeofstruct = 0;
  UINT picType = 0;
  struct {
    HBITMAP hbitmap = nullptr;
    HPALETTE hpal = nullptr;
  } bmp;
};

// The picture object: reference counted; the last Release frees the bitmap
// and palette when it owns them.
class IPicture {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT get_Handle(HBITMAP* pHandle) = 0;
  virtual HRESULT get_hPal(HPALETTE* phPal) = 0;
  virtual HRESULT get_Type(SHORT* pType) = 0;

 protected:
  virtual ~IPicture() = default;
};
// The dispatch face of the same object.
using IPictureDisp = IPicture;

// OleCreatePictureIndirect: makes a picture from a description of size 20 (the
// platform's published size) or sizeof(PICTDESC); riid IID_IDispatch,
// IID_IPicture or IID_IPictureDisp.
HRESULT OleCreatePictureIndirect(const PICTDESC* lpPictDesc, REFIID riid, BOOL fOwn, void** lplpvObj);

// The standard picture: a counted reference to a picture object, as held by an
// image control. Empty means "no picture".
class StdPicture {
 public:
  StdPicture() = default;
  // Takes over one reference that the caller holds.
  explicit StdPicture(IPictureDisp* adopted) : p_(adopted) {}
  StdPicture(const StdPicture& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  StdPicture(StdPicture&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  StdPicture& operator=(StdPicture o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~StdPicture() {
    if (p_) p_->Release();
  }
  IPictureDisp* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  HBITMAP Handle() const;
  HPALETTE hPal() const;
  SHORT Type() const;

 private:
  IPictureDisp* p_ = nullptr;
};

}  // namespace olepro32
