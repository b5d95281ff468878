#pragma once
// Stand-in for the video capture library: the capture driver list, the
// capture window and its messages. A capture window whose source is lost (it
// failed, ended, went away or sent nothing new for 2 s) releases it at once,
// shows black and connects again by itself, retrying every few seconds and
// at once when its device comes back. A window connected to a driver whose
// device is away starts out lost in the same way.
#include "platform/capturedriver.h"
#include "platform/user32.h"
#include "platform/windef.h"

namespace avicap32 {

constexpr UINT WM_CAP_START = user32::WM_USER;
constexpr UINT WM_CAP_DRIVER_CONNECT = WM_CAP_START + 10;     // 0x040A
constexpr UINT WM_CAP_DRIVER_DISCONNECT = WM_CAP_START + 11;  // 0x040B
constexpr UINT WM_CAP_SET_PREVIEW = WM_CAP_START + 50;        // 0x0432
constexpr UINT WM_CAP_SET_PREVIEWRATE = WM_CAP_START + 52;    // 0x0434
constexpr UINT WM_CAP_SET_SCALE = WM_CAP_START + 53;          // 0x0435
constexpr UINT WM_CAP_GET_STATUS = WM_CAP_START + 54;         // 0x0436

// The capture window's status, filled by WM_CAP_GET_STATUS (wParam: the size
// of the record, lParam: its address).
struct CAPSTATUS {
  UINT uiImageWidth = 0;
  UINT uiImageHeight = 0;
  BOOL fLiveWindow = FALSE;  // the window shows a live picture now
  BOOL fOverlayWindow = FALSE;
  BOOL fScale = FALSE;
  POINT ptScroll;
  BOOL fUsingDefaultPalette = FALSE;
  BOOL fAudioHardware = FALSE;
  BOOL fCapFileExists = FALSE;
  DWORD dwCurrentVideoFrame = 0;  // frames painted since connect
  DWORD dwCurrentVideoFramesDropped = 0;
  DWORD dwCurrentWaveSamples = 0;
  DWORD dwCurrentTimeElapsedMS = 0;
  HPALETTE hPalCurrent = nullptr;
  BOOL fCapturingNow = FALSE;
  DWORD dwReturn = 0;  // IDS_CAP_DRIVER_ERROR while the device does not answer
  UINT wNumVideoRequested = 0;
  UINT wNumAudioRequested = 0;
};

// capGetDriverDescriptionA: TRUE and the driver's NUL-ended name and version
// when a driver exists at the index. Texts longer than the buffers are cut at
// a UTF-8 character boundary.
BOOL capGetDriverDescriptionA(UINT wDriverIndex, char* lpszName, int cbName, char* lpszVer, int cbVer);
// capCreateCaptureWindowA: a child window that, once connected to a driver,
// paints the driver's live picture.
HWND capCreateCaptureWindowA(const char* lpszWindowName, DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                             HWND hwndParent, int nID);

// ---------------------------------------------------------------------------
// Beyond the capture library: full-size stills, and the one answer to whether
// a window has a new live picture to save.

// capSetFullSize: whether the window's source also keeps its full-size
// picture (CaptureDriver::setFullSize); a connected source starts again with
// it at once. FALSE for a window that is not a capture window.
BOOL capSetFullSize(HWND hwnd, BOOL fFullSize);

// What a capture window has to save now.
struct CAPPICTURE {
  BOOL fLive = FALSE;  // the window shows a live picture now
  // A number that changes with each new picture: the frames painted for the
  // preview's picture, the full-size pictures seen for a full-size one.
  DWORD dwNumber = 0;
  std::shared_ptr<const StillFrame> still;  // the newest full-size picture
};
// capGetPicture: fills picture for the preview's picture, or with fFullSize
// for the source's full-size one. FALSE for a window that is not a capture
// window.
BOOL capGetPicture(HWND hwnd, BOOL fFullSize, CAPPICTURE* picture);

// ---------------------------------------------------------------------------
// The driver list (seam): the program's start-up installs the real drivers,
// tests install fakes. A capture window keeps the driver it connected to, so
// replacing the list never disturbs a running preview.

void setDrivers(DriverList drivers);
// Installs a provider's drivers as the list and follows its devices: a new
// one is added to the list, and a capture window whose driver's device went
// away or came back hears of it at once. Until the list is set or reset.
void installProvider(std::shared_ptr<DriverProvider> provider);
// Empties the list (and lets go of its provider).
void resetDrivers();
const DriverList& driverList();

// The error a capture window reports in CAPSTATUS.dwReturn while its
// driver's device does not answer.
constexpr DWORD IDS_CAP_DRIVER_ERROR = 418;

}  // namespace avicap32
