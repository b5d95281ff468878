#pragma once
// The capture device: lists the capture sources and binds one of them to a
// preview window inside the main window.
#include <cstdint>

#include "platform/avicap32.h"
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

// Frames of the source's full size rather than the preview's: kept from the
// next StartPreview on, and by the bound source at once.
void SetFullSize(bool fullSize);
// What the bound capture window has to save now, of the size set: whether it
// is live, the number that changes with each new picture, the full-size
// picture itself. Not live when nothing is bound.
avicap32::CAPPICTURE currentPicture();

}  // namespace modWebCam
