#pragma once
// The Active hours dialog (Capture > Active hours...): Always, between two
// times of day on chosen weekdays, or from sunrise to sunset at a place.
#include "platform/windef.h"
#include "schedule/activehours.h"

namespace schedule {

// Shows the dialog over the window `owner`, filled in from `hours`; when the
// user presses OK, `hours` takes what the dialog shows and true is returned.
bool editActiveHours(HWND owner, ActiveHours& hours);

}  // namespace schedule
