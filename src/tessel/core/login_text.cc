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

}  // namespace

bool ParseLoginCall(std::string_view text, stLoginCall* call) {
  cScanner in(text);
  in.SkipBlanks();
  std::string_view name = in.Identifier();
  if (!IsLoginName(name)) return false;
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

std::string MaskCmdText(std::string_view text) {
  stLoginCall call;
  if (ParseLoginCall(text, &call)) {
    if (call.name != "Login" || call.args.size() < 2) return std::string(text);
    const std::string& secret = call.args[1];
    // The mask stands for the literal's content, without its quotes.
    std::string inner = secret.size() >= 2 && (secret[0] == '\'' || secret[0] == '"')
                            ? secret.substr(1, secret.size() - 2)
                            : secret;
    std::string masked = "Login(" + call.args[0] + ",'" + MaskPassword(inner.c_str()) + "'";
    for (size_t i = 2; i < call.args.size(); ++i) masked += "," + call.args[i];
    return masked + ")";
  }
  size_t at = text.find("Login");
  if (at == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, at)) + "Login(***)";
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
