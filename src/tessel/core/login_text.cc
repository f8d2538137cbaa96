#include "tessel/core/login_text.h"
#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A small cursor over the text; every read stays inside it.
class cScanner {
 public:
  explicit cScanner(std::string_view text) : m_text(text) {}

  void SkipBlanks() {
    while (m_at < m_text.size() && IsBlank(m_text[m_at])) ++m_at;
  }
  bool AtEnd() const { return m_at >= m_text.size(); }
  bool Take(char c) {
    if (AtEnd() || m_text[m_at] != c) return false;
    ++m_at;
    return true;
  }
  std::string_view Identifier() {
    size_t start = m_at;
    while (m_at < m_text.size() &&
           (std::isalnum(static_cast<unsigned char>(m_text[m_at])) || m_text[m_at] == '_'))
      ++m_at;
    return m_text.substr(start, m_at - start);
  }
  // A quoted string that ends on its own line, or a decimal number; its text as written.
  bool Literal(std::string& out) {
    size_t start = m_at;
    if (AtEnd()) return false;
    char c = m_text[m_at];
    bool ok = (c == '\'' || c == '"') ? QuotedString(c) : Number();
    if (ok) out.assign(m_text.substr(start, m_at - start));
    return ok;
  }

 private:
  bool QuotedString(char quote) {
    ++m_at;
    while (m_at < m_text.size()) {
      char c = m_text[m_at++];
      if (c == quote) return true;
      if (c == '\n' || c == '\r' || c == '\0') return false;
      if (c == '\\') {
        if (m_at >= m_text.size() || m_text[m_at] == '\n' || m_text[m_at] == '\r') return false;
        ++m_at;
      }
    }
    return false;
  }
  bool Number() {
    Take('-');
    size_t digits = Digits();
    if (digits == 0) return false;
    if (Take('.') && Digits() == 0) return false;
    return true;
  }
  size_t Digits() {
    size_t start = m_at;
    while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
    return m_at - start;
  }

  std::string_view m_text;
  size_t m_at = 0;
};

bool IsLoginName(std::string_view name) {
  return name == "Login" || name == "Logout" || name == "Logined";
}

// The words of the calls that carry a password, and the argument that holds it: a console
// login, and the account and password a client link logs in with.
// Any mention of Login counts (Logined as well); SetConnect only as a whole word, so that
// SetConnectIP stays as it was written.
struct stSecretCall {
  std::string_view name;
  size_t secret;
  bool wholeWord;
};
constexpr stSecretCall kSecretCalls[] = {{"Login", 1, false}, {"SetConnect", 4, true}};

bool IsNameByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Whether `text` at `at` holds `name` in any letter case.
bool FoldedAt(std::string_view text, size_t at, std::string_view name) {
  if (text.size() - at < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[at + i])) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

// Whether the word at `end` is followed, after blanks, by the paren of a call.
bool CallFollows(std::string_view text, size_t end) {
  while (end < text.size() && IsBlank(text[end])) ++end;
  return end < text.size() && text[end] == '(';
}

// Where `call`'s word is first mentioned in `text`, or called in another letter case (a typed
// login('ops','pw') runs nothing, but its password is as real); npos when it is not.
size_t Mention(std::string_view text, const stSecretCall& call) {
  const unsigned char first = static_cast<unsigned char>(call.name[0]);
  const char starts[] = {static_cast<char>(std::tolower(first)),
                         static_cast<char>(std::toupper(first)), '\0'};
  for (size_t at = text.find_first_of(starts); at != std::string_view::npos;
       at = text.find_first_of(starts, at + 1)) {
    if (!FoldedAt(text, at, call.name)) continue;
    const size_t end = at + call.name.size();
    if (text.compare(at, call.name.size(), call.name) != 0) {
      if (CallFollows(text, end)) return at;
      continue;
    }
    if (!call.wholeWord || end == text.size() || !IsNameByte(text[end])) return at;
  }
  return std::string_view::npos;
}

bool SameFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldedAt(a, 0, b);
}

// One call of any name with literal arguments, as ParseLoginCall reads it.
bool ParseCall(std::string_view text, stLoginCall* call) {
  cScanner in(text);
  in.SkipBlanks();
  std::string_view name = in.Identifier();
  if (name.empty()) return false;
  in.SkipBlanks();
  if (!in.Take('(')) return false;
  std::vector<std::string> args;
  in.SkipBlanks();
  if (!in.Take(')')) {
    for (;;) {
      in.SkipBlanks();
      std::string literal;
      if (!in.Literal(literal)) return false;
      args.push_back(std::move(literal));
      in.SkipBlanks();
      if (in.Take(')')) break;
      if (!in.Take(',')) return false;
    }
  }
  in.SkipBlanks();
  in.Take(';');
  in.SkipBlanks();
  if (!in.AtEnd()) return false;
  if (call != nullptr) {
    call->name.assign(name);
    call->args = std::move(args);
  }
  return true;
}

}  // namespace

namespace {

// Past the long bracket ("[", any number of '=', "[") that opens at `at`, to its closing one or
// the text's end; npos when none opens there.
size_t PastLongBracket(std::string_view text, size_t at) {
  size_t open = at + 1;
  while (open < text.size() && text[open] == '=') ++open;
  if (at >= text.size() || text[at] != '[' || open >= text.size() || text[open] != '[')
    return std::string_view::npos;
  const std::string close = "]" + std::string(open - at - 1, '=') + "]";
  const size_t end = text.find(close, open + 1);
  return end == std::string_view::npos ? text.size() : end + close.size();
}

// Past the quoted string that opens at `at` (it ends at its quote or its line's end).
size_t PastQuoted(std::string_view text, size_t at) {
  for (size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\')
      ++i;
    else if (text[i] == text[at] || text[i] == '\n')
      return i + 1;
  }
  return text.size();
}

// Past the string, comment or name at `at`; at + 1 for any other byte.
size_t PastToken(std::string_view text, size_t at) {
  const char c = text[at];
  if (c == '\'' || c == '"') return PastQuoted(text, at);
  if (c == '-' && text.substr(at, 2) == "--") {
    const size_t bracket = PastLongBracket(text, at + 2);
    if (bracket != std::string_view::npos) return bracket;
    return std::min(text.find('\n', at), text.size());
  }
  const size_t bracket = PastLongBracket(text, at);
  if (bracket != std::string_view::npos) return bracket;
  size_t end = at;
  while (end < text.size() && IsNameByte(text[end])) ++end;
  return std::max(end, at + 1);
}

}  // namespace

bool NamesLogin(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t next = PastToken(text, at);
    if (IsNameByte(text[at]) && SameFolded(text.substr(at, next - at), "Login")) return true;
    at = next;
  }
  return false;
}

bool ParseLoginCall(std::string_view text, stLoginCall* call) {
  stLoginCall parsed;
  if (!ParseCall(text, &parsed) || !IsLoginName(parsed.name)) return false;
  if (call != nullptr) *call = std::move(parsed);
  return true;
}

bool IsPeerLoginCall(const char* text) {
  stLoginCall call;
  return ParseLoginCall(text != nullptr ? text : "", &call) && call.name != "Logined";
}

size_t SecretWordAt(std::string_view text, std::string_view* word) {
  size_t first = std::string_view::npos;
  for (const stSecretCall& call : kSecretCalls) {
    const size_t at = Mention(text, call);
    if (at < first) {
      first = at;
      if (word != nullptr) *word = text.substr(at, call.name.size());
    }
  }
  return first;
}

std::string MaskCmdText(std::string_view text) {
  stLoginCall call;
  const bool parsed = ParseCall(text, &call);
  for (const stSecretCall& secretCall : kSecretCalls) {
    if (!parsed || !SameFolded(call.name, secretCall.name)) continue;
    if (call.args.size() <= secretCall.secret) return std::string(text);
    std::string masked = call.name + "(";
    for (size_t i = 0; i < call.args.size(); ++i) {
      const std::string& arg = call.args[i];
      if (i > 0) masked += ",";
      if (i != secretCall.secret) {
        masked += arg;
        continue;
      }
      // The mask stands for the literal's content, without its quotes.
      const std::string inner = arg.size() >= 2 && (arg[0] == '\'' || arg[0] == '"')
                                    ? arg.substr(1, arg.size() - 2)
                                    : arg;
      masked += "'" + MaskPassword(inner.c_str()) + "'";
    }
    return masked + ")";
  }
  if (parsed && IsLoginName(call.name)) return std::string(text);
  std::string_view word;
  const size_t at = SecretWordAt(text, &word);
  if (at == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, at)) + std::string(word) + "(***)";
}

std::string LogCmdText(std::string_view text) {
  std::string shown = MaskCmdText(text);
  if (shown.size() <= kLogTextBytes) return shown;
  size_t cut = kLogTextBytes;
  while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
  shown.resize(cut);
  return shown + " ...(" + std::to_string(text.size()) + " bytes)";
}

std::string MaskPassword(const char* password) {
  size_t length = password ? std::strlen(password) : 0;
  return std::string(std::min<size_t>(length, 8), '*');
}
