#include "tessel/core/route_text.h"

#include <cctype>

#include "tessel/core/lua_text.h"

namespace {

constexpr std::string_view kPathCallHead = "SendPathCmd(";
constexpr std::string_view kHopMark = " --hops=";
constexpr std::string_view kBracketedText = "[=[%2%]=]";
// The command text of a path call travels between "[=[" and "]=]", as the template holds it (a
// higher level only when the text holds "]=]" itself).
constexpr std::size_t kTextBracketLevel = 1;

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ',';
    out += RouteQuote(name);
  }
  return out;
}

// Reads one escape of a Lua string at `at` (just behind the backslash) into `out`.
void ReadEscape(std::string_view text, size_t& at, std::string& out) {
  if (at >= text.size()) return;
  const char c = text[at];
  if (std::isdigit(static_cast<unsigned char>(c))) {
    int value = 0;
    for (int digits = 0;
         digits < 3 && at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
         ++digits)
      value = value * 10 + (text[at++] - '0');
    out += static_cast<char>(value);
    return;
  }
  ++at;
  switch (c) {
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    default:
      out += c;
  }
}

// Reads a quoted Lua string starting at `at` (on the quote); false when there is none.
bool ReadQuoted(std::string_view text, size_t& at, std::string& out) {
  if (at >= text.size() || (text[at] != '\'' && text[at] != '"')) return false;
  const char quote = text[at++];
  out.clear();
  while (at < text.size() && text[at] != quote) {
    if (text[at] == '\\') {
      ReadEscape(text, ++at, out);
    } else {
      out += text[at++];
    }
  }
  if (at >= text.size()) return false;
  ++at;
  return true;
}

void SkipBlanks(std::string_view text, size_t& at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
}

}  // namespace

std::string RouteEscape(std::string_view value) {
  std::string out;
  for (const char c : LuaEscape(value)) {
    // A '%' would read as the start of a placeholder when the route is filled.
    if (c == '%') {
      out += "\\037";
    } else {
      out += c;
    }
  }
  return out;
}

std::string RouteQuote(std::string_view value) {
  return "'" + RouteEscape(value) + "'";
}

std::string WithHopMark(std::string call, int hops) {
  if (hops > 0) call += std::string(kHopMark) + std::to_string(hops);
  return call;
}

std::string MakePathCall(const stPathCall& call, int hops) {
  std::string out(kPathCallHead);
  out += JoinNames(call.names) + "," + RouteQuote(call.param) + "," + std::to_string(call.group) +
         "," + LuaLongBracket(call.text, kTextBracketLevel) + ")";
  return WithHopMark(std::move(out), hops);
}

std::string MakeFindCall(const std::vector<std::string>& names, int hops) {
  return WithHopMark("FindPathOnRoute(" + JoinNames(names) + ")", hops);
}

std::string MakeRouteTemplate(const std::vector<std::string>& names) {
  return std::string(kPathCallHead) + JoinNames(names) + ",'%3%',%1%," +
         std::string(kBracketedText) + ")";
}

std::string MakeReturnPath(const stPathCall& call) {
  const std::vector<std::string> back(call.names.rbegin(), call.names.rend());
  return std::string(kPathCallHead) + JoinNames(back) + "," + RouteQuote(call.param) + ",%1%," +
         std::string(kBracketedText) + ")";
}

std::string FillRoute(std::string_view route, int group, std::string_view text,
                      std::string_view param) {
  std::string out;
  size_t at = 0;
  while (at < route.size()) {
    const std::string_view rest = route.substr(at);
    if (rest.starts_with(kBracketedText)) {
      out += LuaLongBracket(text, kTextBracketLevel);
      at += kBracketedText.size();
    } else if (rest.starts_with("%1%")) {
      out += std::to_string(group);
      at += 3;
    } else if (rest.starts_with("%2%")) {
      out += LuaLongBracket(text);
      at += 3;
    } else if (rest.starts_with("%3%")) {
      out += RouteEscape(param);
      at += 3;
    } else if (rest.starts_with("%%")) {
      out += '%';
      at += 2;
    } else {
      out += route[at++];
    }
  }
  return out;
}

std::optional<std::string> RouteForStore(std::string_view route) {
  if (route.find("%3%") != std::string_view::npos) return std::string(route);
  const size_t quote = route.rfind('\'');
  if (quote == std::string_view::npos) return std::nullopt;
  std::string stored(route);
  stored.insert(quote, "%3%");
  return stored;
}

std::vector<std::string> RouteNames(std::string_view route) {
  std::vector<std::string> quoted;
  size_t at = 0;
  SkipBlanks(route, at);
  if (!route.substr(at).starts_with(kPathCallHead)) return {};
  at += kPathCallHead.size();
  std::string value;
  for (;;) {
    SkipBlanks(route, at);
    if (!ReadQuoted(route, at, value)) break;
    quoted.push_back(value);
    SkipBlanks(route, at);
    if (at >= route.size() || route[at] != ',') break;
    ++at;
  }
  if (!quoted.empty()) quoted.pop_back();
  return quoted;
}

int ReadHopMark(std::string_view chunk) {
  while (!chunk.empty() && std::isspace(static_cast<unsigned char>(chunk.back())))
    chunk.remove_suffix(1);
  const size_t mark = chunk.rfind(kHopMark);
  if (mark == std::string_view::npos) return 0;
  const std::string_view digits = chunk.substr(mark + kHopMark.size());
  if (digits.empty() || digits.size() > 6) return 0;
  int hops = 0;
  for (const char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    hops = hops * 10 + (c - '0');
  }
  return hops;
}
