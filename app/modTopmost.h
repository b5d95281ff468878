#pragma once
// Window placement shared by the main window and the capture module.
#include "platform/user32.h"

namespace modTopmost {
using user32::HWND_BOTTOM;
using user32::HWND_NOTOPMOST;
using user32::HWND_TOPMOST;
using user32::SetWindowPos;
using user32::SWP_NOMOVE;
using user32::SWP_NOSIZE;
using user32::SWP_NOZORDER;
}  // namespace modTopmost
