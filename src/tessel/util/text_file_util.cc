#include "tessel/util/text_file_util.h"

#include <sys/stat.h>

namespace {

constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The UTF-16 text after its mark as UTF-8; a lone surrogate or a last odd byte becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view text, bool littleEndian) {
  const auto unit = [&](size_t at) -> char32_t {
    const auto first = static_cast<unsigned char>(text[at]);
    const auto second = static_cast<unsigned char>(text[at + 1]);
    return static_cast<char32_t>(littleEndian ? first | second << 8 : first << 8 | second);
  };
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  for (; at + 1 < text.size(); at += 2) {
    char32_t c = unit(at);
    if (c >= 0xD800 && c < 0xDC00 && at + 3 < text.size() && unit(at + 2) >= 0xDC00 &&
        unit(at + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
      at += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  if (at < text.size()) AppendUtf8(out, 0xFFFD);
  return out;
}

}  // namespace

bool FileExists(const char* path) {
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

std::string Trim(std::string& s) {
  size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return s;
  size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

std::string TrimBlanksAndTabs(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(" \t") + 1 - begin));
}

void DropByteOrderMark(std::string& text) {
  if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
}

void DecodeTextFile(std::string& text) {
  const std::string_view view(text);
  if (view.starts_with(kUtf16LeMark) || view.starts_with(kUtf16BeMark))
    text = Utf16ToUtf8(view.substr(kUtf16LeMark.size()), view.starts_with(kUtf16LeMark));
  else
    DropByteOrderMark(text);
}

bool BeginsLikeAMark(std::string_view text) {
  return text.starts_with(kByteOrderMark) || text.starts_with(kUtf16LeMark) ||
         text.starts_with(kUtf16BeMark);
}
