#include "store/framename.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

namespace framename {
namespace {

constexpr std::array<std::string_view, 4> kExtensions = {".bmp", ".png", ".jpg", ".jpeg"};

// The number written in text, which holds only digits (at most 9 of them);
// -1 otherwise.
int number(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string baseName(const vba::DateTime& taken) {
  return vba::Format(taken, "dd_MM_yyyy") + " " + vba::Format(taken, "hhmmss");
}

std::string suffixed(const std::string& baseName, int n) {
  return n <= 1 ? baseName : baseName + "_" + std::to_string(n);
}

std::optional<Parsed> parse(std::string_view fileName) {
  // "dd_MM_yyyy hhmmss": 17 characters, then the suffix and the extension.
  constexpr size_t kBase = 17;
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot < kBase) return std::nullopt;
  const std::string_view name = fileName.substr(0, kBase);
  if (name[2] != '_' || name[5] != '_' || name[10] != ' ') return std::nullopt;
  Parsed parsed;
  vba::DateTime& t = parsed.taken;
  t = {number(name.substr(6, 4)),  number(name.substr(3, 2)),  number(name.substr(0, 2)),
       number(name.substr(11, 2)), number(name.substr(13, 2)), number(name.substr(15, 2))};
  using namespace std::chrono;
  const year_month_day date{year{t.year}, month{static_cast<unsigned>(t.month)},
                            day{static_cast<unsigned>(t.day)}};
  // A field that is not a number reads as -1 (a month or day of -1 is no date).
  if (t.year < 0 || !date.ok() || t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 ||
      t.second < 0 || t.second > 59) {
    return std::nullopt;
  }
  if (const std::string_view suffix = fileName.substr(kBase, dot - kBase); !suffix.empty()) {
    parsed.suffix = suffix.size() > 1 && suffix[0] == '_' && suffix[1] != '0' ? number(suffix.substr(1)) : -1;
    if (parsed.suffix < 2) return std::nullopt;
  }
  for (const char c : fileName.substr(dot))
    parsed.extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (std::find(kExtensions.begin(), kExtensions.end(), parsed.extension) == kExtensions.end())
    return std::nullopt;
  return parsed;
}

}  // namespace framename
