#include "tessel/core/lua_text.h"

namespace {

// Lua ends a long string at the first closing bracket of its level, so the text followed by
// that bracket must contain it only at the very end.
bool ClosesOnlyAtEnd(std::string_view text, const std::string& close) {
  std::string joined(text);
  joined += close;
  return joined.find(close) == text.size();
}

}  // namespace

std::string LuaLongBracket(std::string_view text, std::size_t minLevel) {
  // Lua 5.1 refuses a nested "[[" inside a level-0 string, so level 0 also needs no "[[".
  std::size_t level = minLevel > 0 || text.find("[[") == std::string_view::npos ? minLevel : 1;
  while (!ClosesOnlyAtEnd(text, "]" + std::string(level, '=') + "]")) ++level;
  const std::string equals(level, '=');
  std::string out = "[" + equals + "[";
  // Lua drops a line end right behind the opening bracket; repeat it so the text keeps its own.
  if (!text.empty() && (text.front() == '\n' || text.front() == '\r')) out += text.front();
  out += text;
  out += "]" + equals + "]";
  return out;
}

std::string LuaEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          // Three digits always, so a following digit cannot join the escape.
          out += '\\';
          out += static_cast<char>('0' + byte / 100);
          out += static_cast<char>('0' + byte / 10 % 10);
          out += static_cast<char>('0' + byte % 10);
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string LuaQuote(std::string_view text) {
  return "'" + LuaEscape(text) + "'";
}
