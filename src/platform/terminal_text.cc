#include "platform/terminal_text.h"

#include <cstdint>

namespace platform {

namespace {

constexpr unsigned char kEsc = 0x1b;

// The length of the valid UTF-8 character at `at` (its code point in `cp`); 0 when the bytes
// there are not one (a stray continuation byte, an overlong form, a surrogate, a cut one).
std::size_t Utf8Char(std::string_view s, std::size_t at, std::uint32_t& cp) {
  const auto c = static_cast<unsigned char>(s[at]);
  std::size_t n = 0;
  std::uint32_t least = 0;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1Fu, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0Fu, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto d = static_cast<unsigned char>(s[at + i]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3Fu);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// The explicit bidirectional controls (embeddings, overrides, isolates and their ends): they
// make a terminal that orders text by direction show a line in another order than its bytes.
bool IsBidiControl(std::uint32_t cp) {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// Skips what follows an introducer: `kind` is the byte behind ESC, or the 7-bit form of a C1
// control. A CSI runs to its final byte; OSC, DCS, SOS, PM and APC strings run to BEL, ST or the
// line's end (the line end stays). Returns where the text goes on.
std::size_t SkipControl(std::string_view s, std::size_t at, char kind) {
  if (kind == '[') {
    while (at < s.size() && s[at] >= 0x20 && s[at] <= 0x3F) ++at;
    if (at < s.size() && s[at] >= 0x40 && s[at] <= 0x7E) ++at;
    return at;
  }
  if (kind != ']' && kind != 'P' && kind != 'X' && kind != '^' && kind != '_') return at;
  for (; at < s.size() && s[at] != '\n'; ++at) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == '\a' || c == 0x9C) return at + 1;
    if (c == kEsc && at + 1 < s.size() && s[at + 1] == '\\') return at + 2;
  }
  return at;
}

}  // namespace

std::string TerminalText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t at = 0; at < s.size();) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == kEsc) {
      // ESC, intermediate bytes, a final byte, and what that final byte starts.
      for (++at; at < s.size() && s[at] >= 0x20 && s[at] <= 0x2F;) ++at;
      if (at < s.size() && s[at] >= 0x30 && s[at] <= 0x7E) {
        const char kind = s[at];
        at = SkipControl(s, at + 1, kind);
      }
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t n = Utf8Char(s, at, cp);
    if (n == 0) {
      // Not UTF-8: a raw C1 control goes with what it starts, any other byte shows as '?'.
      if (c >= 0x80 && c <= 0x9F) {
        at = SkipControl(s, at + 1, static_cast<char>(c - 0x40));
      } else {
        out += '?';
        ++at;
      }
      continue;
    }
    if (cp >= 0x80 && cp <= 0x9F) {
      at = SkipControl(s, at + n, static_cast<char>(cp - 0x40));
      continue;
    }
    if ((cp < 0x20 && cp != '\n' && cp != '\t') || cp == 0x7F || IsBidiControl(cp)) {
      at += n;
      continue;
    }
    out.append(s.substr(at, n));
    at += n;
  }
  return out;
}

std::size_t Utf8IncompleteTail(std::string_view s) {
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto c = static_cast<unsigned char>(s[s.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    const std::size_t need = c >= 0xF0 && c <= 0xF4   ? 4
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xC2 && c <= 0xDF ? 2
                                                      : 1;
    return need > back ? back : 0;
  }
  return 0;
}

}  // namespace platform
