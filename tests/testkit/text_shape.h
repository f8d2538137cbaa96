// Matching texts against simple shapes in tests: '#' is one digit, '+' one or more digits,
// every other character stands for itself.
#pragma once

#include <cctype>
#include <string_view>

namespace testing_support {

// Whether a prefix of `text` fits `shape`; gives the length of that prefix.
inline bool fits_prefix(std::string_view text, std::string_view shape, size_t& used) {
  size_t t = 0;
  auto digit = [&](size_t i) { return i < text.size() && std::isdigit((unsigned char)text[i]); };
  for (char c : shape) {
    if (c == '#') {
      if (!digit(t)) return false;
      ++t;
    } else if (c == '+') {
      if (!digit(t)) return false;
      while (digit(t)) ++t;
    } else {
      if (t >= text.size() || text[t] != c) return false;
      ++t;
    }
  }
  used = t;
  return true;
}

// The whole text fits the shape.
inline bool fits(std::string_view text, std::string_view shape) {
  size_t used = 0;
  return fits_prefix(text, shape, used) && used == text.size();
}

// Some part of the text fits the shape.
inline bool contains_shape(std::string_view text, std::string_view shape) {
  for (size_t at = 0; at <= text.size(); ++at) {
    size_t used = 0;
    if (fits_prefix(text.substr(at), shape, used)) return true;
  }
  return false;
}

// The time stamp of log lines, "MM_dd hh:mm:ss ".
inline constexpr std::string_view kStampShape = "##_## ##:##:## ";
// A log file named after a time, "yyyy_MM_dd-hh.mm.ss.log".
inline constexpr std::string_view kTimeFileShape = "####_##_##-##.##.##.log";

}  // namespace testing_support
