#include "tessel/core/literal_call.h"

#include <cctype>
#include <cstdlib>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}
bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}
bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}
// Lua's reserved words: "return('x')" is no call.
bool IsKeyword(std::string_view name) {
  static constexpr std::string_view kWords[] = {
      "and", "break",    "do",     "else", "elseif", "end",   "false",
      "for", "function", "if",     "in",   "local",  "nil",   "not",
      "or",  "repeat",   "return", "then", "true",   "until", "while"};
  for (const std::string_view word : kWords)
    if (name == word) return true;
  return false;
}

// A cursor over the text that reads the tokens of one literal call; every read stays inside.
class cReader {
 public:
  explicit cReader(std::string_view text) : m_s(text) {}

  bool AtEnd() const { return m_at >= m_s.size(); }
  char Peek(size_t ahead = 0) const { return m_at + ahead < m_s.size() ? m_s[m_at + ahead] : '\0'; }
  bool Take(char c) {
    if (AtEnd() || m_s[m_at] != c) return false;
    ++m_at;
    return true;
  }
  void SkipSpaces(bool lineEnds = true) {
    while (!AtEnd() && IsSpace(m_s[m_at]) && (lineEnds || !IsLineEnd(m_s[m_at]))) ++m_at;
  }
  std::string_view Name() {
    const size_t start = m_at;
    if (!AtEnd() && !IsDigit(m_s[m_at]))
      while (!AtEnd() && IsNameChar(m_s[m_at])) ++m_at;
    return m_s.substr(start, m_at - start);
  }
  // The route's hop mark at the end: "--hops=" and digits.
  bool HopMark() {
    if (m_s.substr(m_at, 7) != "--hops=") return false;
    m_at += 7;
    const size_t start = m_at;
    while (!AtEnd() && IsDigit(m_s[m_at])) ++m_at;
    return m_at > start;
  }
  bool Literal(stLiteral& out) {
    const char c = Peek();
    if (c == '\'' || c == '"') return Quoted(out.text);
    if (c == '[') return LongBracket(out.text);
    out.isNumber = true;
    return Number(out);
  }

 private:
  // One line end as Lua counts it: "\n", "\r", "\r\n" or "\n\r".
  void SkipLineEnd() {
    const char first = m_s[m_at++];
    if (!AtEnd() && IsLineEnd(m_s[m_at]) && m_s[m_at] != first) ++m_at;
  }
  bool Quoted(std::string& out) {
    const char quote = m_s[m_at++];
    while (!AtEnd() && m_s[m_at] != quote) {
      const char c = m_s[m_at];
      if (IsLineEnd(c)) return false;
      if (c != '\\') {
        out += c;
        ++m_at;
      } else if (!Escape(out)) {
        return false;
      }
    }
    return Take(quote);
  }
  // An escape behind a backslash, as Lua 5.1 reads it.
  bool Escape(std::string& out) {
    ++m_at;
    if (AtEnd()) return false;
    const char c = m_s[m_at];
    if (IsLineEnd(c)) {
      out += '\n';
      SkipLineEnd();
      return true;
    }
    if (IsDigit(c)) {
      int value = 0;
      for (int digits = 0; digits < 3 && !AtEnd() && IsDigit(m_s[m_at]); ++digits)
        value = value * 10 + (m_s[m_at++] - '0');
      if (value > 255) return false;
      out += static_cast<char>(value);
      return true;
    }
    static constexpr std::string_view kFrom = "abfnrtv", kTo = "\a\b\f\n\r\t\v";
    const size_t named = kFrom.find(c);
    out += named == std::string_view::npos ? c : kTo[named];
    ++m_at;
    return true;
  }
  // [[...]], [=[...]=], ...: the first line end is dropped, every line end reads as '\n', and
  // a level-0 string may not hold "[[" (Lua 5.1 refuses the nesting).
  bool LongBracket(std::string& out) {
    ++m_at;
    size_t level = 0;
    while (Take('=')) ++level;
    if (!Take('[')) return false;
    const std::string close = "]" + std::string(level, '=') + "]";
    const size_t end = m_s.find(close, m_at);
    if (end == std::string_view::npos) return false;
    const std::string_view body = m_s.substr(m_at, end - m_at);
    if (level == 0 && body.find("[[") != std::string_view::npos) return false;
    const size_t stop = end;
    if (m_at < stop && IsLineEnd(m_s[m_at])) SkipLineEnd();
    while (m_at < stop) {
      if (IsLineEnd(m_s[m_at])) {
        out += '\n';
        SkipLineEnd();
      } else {
        out += m_s[m_at++];
      }
    }
    m_at = end + close.size();
    return true;
  }
  // [-]digits[.digits][(e|E)[+|-]digits]
  bool Number(stLiteral& out) {
    const size_t start = m_at;
    Take('-');
    const size_t digitsAt = m_at;
    while (!AtEnd() && IsDigit(m_s[m_at])) ++m_at;
    if (m_at == digitsAt) return false;
    if (Take('.'))
      while (!AtEnd() && IsDigit(m_s[m_at])) ++m_at;
    if (Peek() == 'e' || Peek() == 'E') {
      ++m_at;
      if (Peek() == '+' || Peek() == '-') ++m_at;
      const size_t exponent = m_at;
      while (!AtEnd() && IsDigit(m_s[m_at])) ++m_at;
      if (m_at == exponent) return false;
    }
    // Lua reads letters and '_' right behind a number as part of it, and refuses the whole.
    if (IsNameChar(Peek()) || Peek() == '.') return false;
    out.text.assign(m_s.substr(start, m_at - start));
    out.number = std::strtod(out.text.c_str(), nullptr);
    return true;
  }

  std::string_view m_s;
  size_t m_at = 0;
};

}  // namespace

bool ParseLiteralCall(std::string_view text, stLiteralCall& call) {
  cReader in(text);
  in.SkipSpaces();
  stLiteralCall read;
  read.name.assign(in.Name());
  if (read.name.empty() || IsKeyword(read.name)) return false;
  // A '(' on the next line would be another statement to Lua.
  in.SkipSpaces(false);
  if (!in.Take('(')) return false;
  in.SkipSpaces();
  if (!in.Take(')')) {
    for (;;) {
      in.SkipSpaces();
      stLiteral literal;
      if (!in.Literal(literal)) return false;
      read.args.push_back(std::move(literal));
      in.SkipSpaces();
      if (in.Take(')')) break;
      if (!in.Take(',')) return false;
    }
  }
  in.SkipSpaces();
  in.Take(';');
  in.SkipSpaces(false);
  if (in.HopMark()) in.SkipSpaces();
  if (!in.AtEnd()) return false;
  call = std::move(read);
  return true;
}
