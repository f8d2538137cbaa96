#include "tessel_server/launch_params.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "platform/home_file.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/util/text_file_util.h"

namespace {

// The longest name a listening side or an account may have (the server record's name field).
constexpr size_t kMaxNameChars = 67;
// Of a password file, no more than its first bytes are read (the login command that carries the
// password is cut at this size anyway), and a pipe is waited for this long at most: a FIFO
// without a writer or a device in its place fails the start, never holds it.
constexpr size_t kPasswordFileBytes = 10240;
constexpr int kPasswordWaitMs = 5000;

int ToNumber(const std::string& text) {
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// A name that commands quote and that fits the server record: letters, digits, '_', '-', '.'.
bool IsName(std::string_view text) {
  if (text.empty() || text.size() > kMaxNameChars) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
      return false;
  return true;
}

bool IsIpv4(std::string_view text) {
  in_addr address{};
  return ::inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

// "NAME:PORT[,NAME:PORT...]": every name unique and not empty, every port 1-65535.
std::optional<std::vector<stUpstream>> ParseUpstreams(std::string_view text) {
  std::vector<stUpstream> ups;
  std::istringstream items{std::string(text)};
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t colon = item.rfind(':');
    if (colon == std::string::npos || colon == 0 || !IsLaunchNumber(item.substr(colon + 1)))
      return std::nullopt;
    stUpstream up{item.substr(0, colon), ToNumber(item.substr(colon + 1))};
    if (up.port == 0) return std::nullopt;
    for (const stUpstream& known : ups)
      if (known.name == up.name) return std::nullopt;
    ups.push_back(up);
  }
  return ups;
}

bool IsUpstreamList(std::string_view text) {
  return ParseUpstreams(text).has_value();
}

// The launch words this program reads besides the library's.
const cLaunchWords kProgramWords{
    {"program", "KIND", "program kind and own account name (default game)", IsName,
     "a name of letters, digits, '_', '-' or '.'"},
    {"listen", "PORT", "opens a listening side; 0 picks a free port (shown as NAME_port)",
     IsLaunchNumber, "a port from 0 to 65535"},
    {"listenip", "A.B.C.D", "address of the listening side (default 127.0.0.1)", IsIpv4,
     "an IPv4 address"},
    {"server", "NAME", "name of the listening side (default: the program kind)", IsName,
     "a name of letters, digits, '_', '-' or '.'"},
    {"maxlinks", "COUNT", "most links the listening side keeps open (default 100; 0 = no bound)",
     IsLaunchNumber, kLaunchNumberForm},
    {"connect", "NAME:PORT[,...]", "client links to those servers; the first is the default route",
     IsUpstreamList, "NAME:PORT[,NAME:PORT...] with different names and ports from 1 to 65535"},
    {"reconnect", "SECONDS", "wait before a client link connects again (default 10)",
     IsLaunchNumber, "seconds from 0 to 65535"},
    {"passwordfile", "FILE", "the client links' password: the first line of FILE"},
    {"quickend", "0|1", "the orderly end with short pauses (tests, demos)", IsLaunchFlag,
     kLaunchFlagForm},
    {"settime", "0|1", "lets Time(...) of the OS group set the machine clock", IsLaunchFlag,
     kLaunchFlagForm},
    {"tls", "0|1", "the listening side and every client link are TLS 1.3", IsLaunchFlag,
     kLaunchFlagForm},
    {"compress", "0|1", "every link sends its records compressed", IsLaunchFlag, kLaunchFlagForm},
};

// The variable's value, taken out of the environment: the children the process starts (System
// lines, site tools, the crash report tool) would inherit it, and its environment block, which
// /proc/PID/environ shows, is overwritten. Main thread, before other threads start.
std::string TakeVariable(const char* name) {
  char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::string taken = value;
  std::memset(value, '*', taken.size());
  ::unsetenv(name);
  return taken;
}

}  // namespace

std::vector<std::string> cLaunchParams::Words(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

std::string cLaunchParams::Join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

void cLaunchParams::HidePassword(int argc, char** argv) {
  for (int key = 1; key + 2 < argc; key += 3)
    if (ShownExeParam(argv[key], argv[key + 2]) != argv[key + 2])
      std::memset(argv[key + 2], '*', std::strlen(argv[key + 2]));
}

// A password word wins; else the file's first line; else the variable.
bool cLaunchParams::LoadPassword() {
  const std::string variable = TakeVariable(kPasswordVariable);
  const std::string file = GetExeParam("passwordfile", "");
  if (file.empty()) {
    if (GetExeParam("password", "").empty() && !variable.empty())
      GetExeParamStore().SetStringString("password", variable);
    return true;
  }
  if (!GetExeParam("password", "").empty()) {
    m_error = "password and passwordfile: give the password one way";
    return false;
  }
  std::string secret;
  std::string why;
  if (!platform::ReadFirstLine(file, kPasswordFileBytes, kPasswordWaitMs, secret, &why)) {
    m_error = "passwordfile = " + file + ": cannot read its first line (" + why + ")";
    return false;
  }
  // As a Windows editor saves it: a CR LF line end, a byte-order mark before the password (kept,
  // it made every login of the links fail as a wrong password).
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  DropByteOrderMark(secret);
  if (secret.empty()) {
    m_error = "passwordfile = " + file + ": its first line is empty";
    return false;
  }
  ReportPasswordFileOpenToOthers(file);
  GetExeParamStore().SetStringString("password", secret);
  return true;
}

bool cLaunchParams::Load() {
  m_program = GetExeParam("program", "game");
  m_serverName = GetExeParam("server", m_program.c_str());
  const std::string listen = GetExeParam("listen", "");
  if (!listen.empty()) m_listenPort = ToNumber(listen);
  in_addr address{};
  ::inet_pton(AF_INET, GetExeParam("listenip", "127.0.0.1").c_str(), &address);
  m_listenIp = ntohl(address.s_addr);
  m_maxLinks = static_cast<unsigned int>(ToNumber(GetExeParam("maxlinks", "100")));
  m_upstreams = ParseUpstreams(GetExeParam("connect", "")).value_or(std::vector<stUpstream>{});
  m_quickEnd = GetExeParam("quickend", "0") == "1";
  m_setsMachineClock = GetExeParam("settime", "0") == "1";
  m_tls = GetExeParam("tls", "0") == "1";
  m_compress = GetExeParam("compress", "0") == "1";
  m_reconnectSeconds = ToNumber(GetExeParam("reconnect", "10"));
  return LoadPassword();
}
