#include "capture/modWebCam.h"

#include <string>

#include "platform/avicap32.h"
#include "platform/user32.h"
#include "platform/vba.h"

namespace modWebCam {

int32_t capSource = 0;
HWND capWindow = 0;

namespace {

bool fullSize = false;

// The capture messages' TRUE: all bits set.
constexpr int32_t vbTrue = -1;

// Every capture message carries a reference to a zero value as its lParam.
LRESULT sendCapMessage(UINT msg, int32_t wParam) {
  int32_t zero = 0;
  return user32::SendMessageA(capWindow, msg, static_cast<WPARAM>(wParam), reinterpret_cast<LPARAM>(&zero));
}

// The bound capture window's status; all zero when nothing is bound.
avicap32::CAPSTATUS captureStatus() {
  avicap32::CAPSTATUS status;
  user32::SendMessageA(capWindow, avicap32::WM_CAP_GET_STATUS, sizeof(status),
                       reinterpret_cast<LPARAM>(&status));
  return status;
}

}  // namespace

void FillSourceList(vb::ListBox& list) {
  std::string name(100, ' ');
  std::string ver(100, ' ');
  list.Clear();
  int32_t index = 0;
  BOOL found = FALSE;
  do {
    found = avicap32::capGetDriverDescriptionA(static_cast<UINT>(index), name.data(), 100, ver.data(), 100);
    if (found) {
      // The whole buffer is trimmed, then the list keeps the text up to the NUL.
      const std::string trimmed = vba::Trim(name);
      list.AddItem(trimmed.substr(0, trimmed.find('\0')));
    }
    ++index;
  } while (found);
}

void StartPreview(int32_t sourceIndex, vb::PictureBox& previewArea) {
  capSource = sourceIndex;
  capWindow =
      avicap32::capCreateCaptureWindowA(vba::CStr(capSource).c_str(), user32::WS_CHILD | user32::WS_VISIBLE,
                                        0, 0, 320, 240, previewArea.hWnd(), 0);
  avicap32::capSetFullSize(capWindow, fullSize ? TRUE : FALSE);
  const LRESULT result = sendCapMessage(avicap32::WM_CAP_DRIVER_CONNECT, capSource);
  if (result != 0) {
    sendCapMessage(avicap32::WM_CAP_SET_SCALE, vbTrue);
    sendCapMessage(avicap32::WM_CAP_SET_PREVIEWRATE, 66);
    sendCapMessage(avicap32::WM_CAP_SET_PREVIEW, vbTrue);
    user32::SetWindowPos(capWindow, user32::HWND_BOTTOM, 0, 0, vba::CInt(previewArea.ScaleWidth()),
                         vba::CInt(previewArea.ScaleHeight()), user32::SWP_NOMOVE | user32::SWP_NOZORDER);
  } else {
    user32::DestroyWindow(capWindow);
  }
}

void StopPreview() {
  sendCapMessage(avicap32::WM_CAP_DRIVER_DISCONNECT, capSource);
  user32::DestroyWindow(capWindow);
}

bool previewIsLive() { return captureStatus().fLiveWindow != FALSE; }

uint32_t previewFrameNumber() { return captureStatus().dwCurrentVideoFrame; }

bool previewHung() { return captureStatus().dwReturn == avicap32::IDS_CAP_DRIVER_ERROR; }

void SetFullSize(bool on) {
  fullSize = on;
  avicap32::capSetFullSize(capWindow, on ? TRUE : FALSE);
}

avicap32::CAPPICTURE currentPicture() {
  avicap32::CAPPICTURE picture;
  avicap32::capGetPicture(capWindow, fullSize ? TRUE : FALSE, &picture);
  return picture;
}

}  // namespace modWebCam
