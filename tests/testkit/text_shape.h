// Matching texts against simple shapes in tests: '#' is one digit, '+' one or more digits,
// every other character stands for itself. Header-only.
#pragma once

#include <cctype>
#include <string_view>

namespace testing_support {

// Whether a prefix of `text` fits `shape`; gives the length of that prefix.
inline bool fits_prefix(std::string_view text, std::string_view shape, size_t& used) {
  size_t t = 0;
  auto digit = [&] { return t < text.size() && std::isdigit((unsigned char)text[t]); };
  for (char c : shape) {
    if (c == '#' || c == '+') {
      if (!digit()) return false;
      for (++t; c == '+' && digit();) ++t;
    } else if (t >= text.size() || text[t++] != c) {
      return false;
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
  size_t used = 0;
  for (size_t at = 0; at <= text.size(); ++at)
    if (fits_prefix(text.substr(at), shape, used)) return true;
  return false;
}

// The time stamp of log lines and a log file named after a time.
inline constexpr std::string_view kStampShape = "##_## ##:##:## ";
inline constexpr std::string_view kTimeFileShape = "####_##_##-##.##.##.log";

}  // namespace testing_support
