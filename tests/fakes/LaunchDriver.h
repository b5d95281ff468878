#pragma once
// A capture driver over a launch description whose last element is an
// appsink named "sink" (anything else in it is up to the caller): the
// GStreamer drivers' sessions over any pipeline a test or benchmark makes.
#include <memory>
#include <string>

#include "platform/capturedriver.h"

namespace fakes {

std::shared_ptr<avicap32::CaptureDriver> makeLaunchDriver(const std::string& description,
                                                          const std::string& name);

}  // namespace fakes
