#pragma once
// The Send frames to... dialog (Capture > Send frames to...): nowhere, a
// folder, or a remote of the user's rclone configuration with a path under
// it; latest.jpg; how many days frames are kept; a video of each day; and
// what sending is doing now.
#include <functional>
#include <string>

#include "platform/windef.h"
#include "settings/settings.h"

namespace sending {

// Shows the dialog over the window `owner`, filled in from `options`, with
// status() read every second; when the user presses OK, `options` takes what
// the dialog shows and true is returned.
bool editSendOptions(HWND owner, settings::SendOptions& options, const std::function<std::string()>& status);

}  // namespace sending
