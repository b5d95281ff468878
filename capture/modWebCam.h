#pragma once
// The capture device: lists the capture sources and binds one of them to a
// preview window inside the main window.
#include <cstdint>

#include "platform/vb.h"
#include "platform/windef.h"

namespace modWebCam {

// The one binding: the driver index of the bound source and its capture window.
extern int32_t capSource;
extern HWND capWindow;

// Fills the list with the capture drivers' names, in driver order, so that an
// entry's position is its driver index.
void FillSourceList(vb::ListBox& list);
// Binds source sourceIndex to a new capture window inside previewArea.
void StartPreview(int32_t sourceIndex, vb::PictureBox& previewArea);
// Disconnects the source and destroys the capture window; no effect when
// nothing is bound.
void StopPreview();
// Whether a capture window is bound and shows a live picture now.
bool previewIsLive();
// How many pictures the bound capture window has shown since it connected
// (0 when nothing is bound): a number that has not moved means no new picture.
uint32_t previewFrameNumber();
// Whether the bound capture window's device does not answer (starting or
// stopping it has not returned), so that waiting alone will not bring it back.
bool previewHung();

}  // namespace modWebCam
