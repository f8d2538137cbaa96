#include "platform/text_clean.h"

#include <cstdint>

namespace {

// Code points that change how a terminal or an editor shows the text around them.
bool IsFormatControl(uint32_t cp) {
  return cp < 0xA0 || cp == 0x2028 || cp == 0x2029 || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

size_t PrintableCharAt(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  size_t length = 0;
  uint32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past Unicode are not well-formed.
  constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return IsFormatControl(cp) ? 0 : length;
}

void AppendEscapedControls(std::string& out, std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t at = 0; at < text.size();) {
    // A run of printable ASCII goes in whole.
    size_t plain = at;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F) ++plain;
    if (plain > at) {
      out.append(text.data() + at, plain - at);
      at = plain;
      continue;
    }
    if (const size_t length = PrintableCharAt(text, at)) {
      out.append(text.data() + at, length);
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at]);
    const char escape[4] = {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
    out.append(escape, sizeof escape);
    ++at;
  }
}

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedControls(out, text);
  return out;
}

std::string CutWithCount(std::string_view text, size_t most) {
  if (text.size() <= most) return std::string(text);
  return std::string(text.substr(0, most)) + "... (" + std::to_string(text.size() - most) +
         " bytes more)";
}
