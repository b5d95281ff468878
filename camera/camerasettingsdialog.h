#pragma once
// Capture > Camera settings...: the chosen camera's controls (sliders for
// numbers, ticks for switches, lists for choices, each with its default),
// written as they change so the preview shows them at once, and the two
// ticks for runs: hold the picture steady, even the exposure.
#include <string>

#include "camera/cameracontrols.h"
#include "platform/windef.h"
#include "settings/settings.h"

namespace camera {

struct CameraChoices {
  Values changed;  // the values the user set, in the order set
  settings::CameraOptions options;
};

// Shows the dialog over owner for the camera listed as name, known as
// identity, whose controls are reached through devicePath (empty: none).
// What the user sets is remembered for that camera, and the ticks for runs.
CameraChoices editCameraSettings(HWND owner, const std::string& name, const std::string& identity,
                                 const std::string& devicePath);

}  // namespace camera
