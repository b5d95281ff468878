#pragma once
// Stand-in for the video capture library: the capture driver list, the
// capture window and its messages.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  DWORD dwReturn = 0;
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
// Capture drivers, for the other stand-ins in platform/ and for tests.

// One frame: top-down rows of 4 bytes a pixel in the order B, G, R, X,
// stride = width * 4.
struct VideoFrame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;
};

class CaptureDriver {
 public:
  virtual ~CaptureDriver() = default;
  virtual std::string Description() const = 0;
  virtual std::string Version() const = 0;
  // Starts the source, asking for frames that cover width x height at up to
  // fps frames a second. False when the source cannot start.
  virtual bool Connect(int width, int height, int fps) = 0;
  // The newest frame, or null when none has arrived since Connect. Called on
  // the UI thread.
  virtual std::shared_ptr<const VideoFrame> LatestFrame() = 0;
  // Whether the source still delivers (false after an error or unplugging).
  virtual bool IsLive() = 0;
  // Stops the source and releases the device. Harmless when not connected.
  virtual void Disconnect() = 0;
};

using DriverList = std::vector<std::shared_ptr<CaptureDriver>>;

// Test seam: replaces the driver list. ResetDrivers returns to the system's
// list (cameras found by GStreamer, then the built-in test pattern),
// enumerated once on first use.
void SetDrivers(DriverList drivers);
void ResetDrivers();
const DriverList& Drivers();

}  // namespace avicap32
