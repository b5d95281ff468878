#pragma once
// A frame's file name: "dd_MM_yyyy hhmmss" from the local date and time it
// was taken, "_2", "_3", ... appended when that name is taken already, then
// the format's extension, such as "05_03_2007 080409_2.bmp".
#include <optional>
#include <string>
#include <string_view>

#include "platform/vba.h"

namespace framename {

// "05_03_2007 080409" for 5 March 2007 at 08:04:09.
std::string baseName(const vba::DateTime& taken);
// The n-th name of a base, counted from 1: the base itself, then base + "_2",
// base + "_3", ...
std::string suffixed(const std::string& baseName, int n);

// What a frame file's name says.
struct Parsed {
  vba::DateTime taken;
  int suffix = 1;         // 1 for none
  std::string extension;  // in lower case, with its point: ".bmp", ".png", ".jpg" or ".jpeg"
};
// None for a name that is not a frame's: another shape, a date or time that
// does not exist, a suffix never given ("_1", "_02"), another extension.
std::optional<Parsed> parse(std::string_view fileName);

}  // namespace framename
