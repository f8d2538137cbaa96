#include "tessel/link/account_help.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/host.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/ini_file.h"
#include "tessel/link/password_hash.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

constexpr size_t kMaxAccountName = 64;

bool IsSafeAccountByte(unsigned char c) {
  if (c >= 0x80) return true;  // part of a multi-byte character
  if (c <= 0x20 || c == 0x7F) return false;
  return std::strchr("/\\:*?\"<>|", c) == nullptr;
}

// A password that begins like a hash but is none matches nothing: without this line every login
// of the account read as a wrong password. The value is not shown.
void ReportBrokenPasswordHash(const std::string& path, const std::string& stored) {
  if (!LooksLikePasswordHash(stored) || IsPasswordHash(stored)) return;
  ReportUnreadableFile(path,
                       path +
                           ": its password begins like a hash but is none that can be "
                           "checked (a cost, salt or length out of form or bounds): no "
                           "password logs the account in; make it with "
                           "tessel_cli --hash-password",
                       "hash");
}

// A hash that could not be derived refuses the login as a wrong password (the peer learns nothing
// more); without this line the operator would look for a typo.
void ReportUncheckedPasswordHash(const std::string& path) {
  ReportUnreadableFile(path,
                       path +
                           ": its password hash could not be checked (scrypt could not get "
                           "its memory under this process's limits, or OpenSSL refused "
                           "or failed): its logins are refused as a wrong password",
                       "unchecked");
}

}  // namespace

bool IsSafeAccountName(const char* name) {
  if (name == nullptr || *name == '\0' || *name == '.') return false;
  size_t length = std::strlen(name);
  if (length > kMaxAccountName || std::strstr(name, "..") != nullptr) return false;
  for (size_t i = 0; i < length; ++i)
    if (!IsSafeAccountByte(static_cast<unsigned char>(name[i]))) return false;
  // Listings print the names as they are: no control or format character, well-formed UTF-8.
  return EscapeControls({name, length}).size() == length;
}

std::string AccountFilePath(const std::string& name) {
  return "db/accounts/" + name + ".ini";
}

bool PasswordsEqual(const std::string& a, const std::string& b) {
  const size_t length = std::max(a.size(), b.size());
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

namespace {

struct stPreset {
  std::string stored, given;
  ePasswordCheck verdict = ePasswordCheck::kMismatch;
  bool set = false;
};

stPreset& Preset() {
  static stPreset preset;
  return preset;
}

// The last preset's login was refused with no password looked at: the file got a hash while the
// login was checked, or could not be read for now.
bool g_noGuess = false;

struct stPresetText {
  std::string path, text;
  bool set = false;
};
stPresetText g_presetText;

// An account file's text: the desk's, when it read this file for this login, else read now. One
// read serves the password, the level and the rights: three reads of up to 1 MiB each held the
// worker for each login, and a file changed between them mixed two versions.
bool ReadAccountText(const std::string& path, std::string& text) {
  stPresetText preset = std::exchange(g_presetText, stPresetText{});
  if (preset.set && preset.path == path) {
    text = std::move(preset.text);
    return true;
  }
  return ReadReportedHomeFile(path, platform::kSettingsFileBytes, text);
}

}  // namespace

void PresetPasswordCheck(const std::string& stored, const std::string& given,
                         ePasswordCheck verdict) {
  TESSEL_ASSERT_WORKER();
  Preset() = {stored, given, verdict, true};
  g_noGuess = false;
}

ePasswordCheck StoredPasswordMatches(const std::string& stored, const std::string& given) {
  TESSEL_ASSERT_WORKER();
  stPreset preset = std::exchange(Preset(), stPreset{});
  // An empty `stored` preset says the desk found no hash to check: it holds no verdict.
  if (preset.set && !preset.stored.empty() && preset.stored == stored &&
      PasswordsEqual(preset.given, given))
    return preset.verdict;
  // The file changed while the login desk checked the hash it held, or got a hash after the
  // desk found none: deriving it here held the worker, every link with it, for as long as the
  // hash takes (seconds for 1 GiB).
  if (preset.set && IsPasswordHash(stored)) {
    get_gout() << "login error the password changed while this login was checked, try again\n";
    g_noGuess = true;
    return ePasswordCheck::kMismatch;
  }
  return CheckPasswordHow(stored, given);
}

void ForgetPasswordCheck() {
  TESSEL_ASSERT_WORKER();
  Preset() = stPreset{};
  g_noGuess = false;
  g_presetText = stPresetText{};
}

void PresetAccountText(const std::string& path, std::string text) {
  TESSEL_ASSERT_WORKER();
  g_presetText = {path, std::move(text), true};
}

bool RefusedWithoutGuess() {
  TESSEL_ASSERT_WORKER();
  return g_noGuess;
}

namespace {

// An account file the server could not read for now (no descriptor or memory free) is said as
// such: the login looked at no password, and the login desk takes it for no guess, so that it
// neither slows nor locks the account.
void SayUnreadForNow(int error) {
  if (error != EMFILE && error != ENFILE && error != ENOMEM) return;
  get_gout() << " (the server could not read the account file for now: " << std::strerror(error)
             << "; no password was checked, try again)";
  g_noGuess = true;
}

}  // namespace

void cAccountHelp::SetAccount(const char* name, int level) {
  m_strName = name ? name : "";
  m_nLevel = level;
  m_rights = stAccountRights{};
  m_bRightsRead = false;
  m_bFromFile = false;
  m_bReplayLogin = false;
}

CmdRightsPtr cAccountHelp::Rights() {
  if (!m_bRightsRead) {
    // A login without a file: the configured rights; a bad value grants nothing.
    std::string error;
    if (!RightsWithoutAccount(m_strName, m_rights.rights, error))
      m_rights.rights = GrantNothing(m_strName);
    m_bRightsRead = true;
  }
  // Without rules the account may run everything, and its commands still name it as their
  // origin wherever they go.
  if (!m_rights.rights && IsLogin()) {
    auto open = std::make_shared<stCmdRights>();
    open->account = m_strName;
    open->origin = m_strName + "@" + GetHost().GetAccount();
    m_rights.rights = std::move(open);
  }
  return m_rights.rights;
}

bool cAccountHelp::ReloadRights() {
  TESSEL_ASSERT_WORKER();
  if (!IsLogin()) return true;
  if (!m_bFromFile) {
    m_bRightsRead = false;
    return true;
  }
  const std::string path = AccountFilePath(m_strName);
  stAccountRights rights;
  std::string error;
  cIniFile file;
  if (!LoadAccountRights(path, m_strName, rights, error) || !file.Load(path.c_str())) {
    if (error.empty()) error = path + ": cannot be read";
    get_gout() << "reload error " << error << " (" << m_strName << " keeps its rights)\n";
    return false;
  }
  m_rights = std::move(rights);
  // The file's level counts as well: "cmd = 0" (or none) leaves the account its login only.
  int level = 0;
  file.GetInt("cmd", level);
  if (level != m_nLevel)
    get_gout() << "reload ok " << m_strName << " cmd level = " << level << "\n";
  m_nLevel = level;
  // What its commands left to run later is held to the new file as well; at level 0 it may
  // run nothing, as the account's own commands may not.
  NoteReloadedRights(m_strName, level == 0 ? GrantNothing(m_strName) : m_rights.rights);
  return true;
}

CmdRightsPtr AccountRights(iAccount* account) {
  auto* help = dynamic_cast<cAccountHelp*>(account);
  return help != nullptr ? help->Rights() : nullptr;
}

bool cAccountHelp::Login(const char* name, const char* password, bool replayed) {
  TESSEL_ASSERT_WORKER();
  if (IsLogin() && (replayed || !m_bReplayLogin)) {
    get_gout() << "login error 已经在登录中了，请先Logout\n";
    return false;
  }
  // The name rules hold whatever "check_login" says: an empty name would log in a record that
  // counts as logged out, and the name becomes part of a file path.
  if (!IsSafeAccountName(name)) {
    get_gout() << "login error invalid account name\n";
    return false;
  }
  int level = 0;
  stAccountRights rights;
  std::string error;
  if (GetConfigValue("check_login", 1) == 0) {
    level = 1;
    if (!RightsWithoutAccount(name, rights.rights, error)) {
      get_gout() << "login error " << error << "\n";
      return false;
    }
  } else {
    const std::string path = AccountFilePath(name);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      get_gout() << "login error 没有找到文件" << path << ", 该账号不存在\n";
      return false;
    }
    cIniFile file;
    file.SetPath(path);
    std::string stored, text;
    errno = 0;
    const bool loaded = ReadAccountText(path, text);
    const int loadError = loaded ? 0 : errno;
    if (loaded) file.LoadText(text);
    file.ReportKeysInOtherCase({"password", "cmd"});
    if (!loaded || !file.GetString("password", stored)) {
      get_gout() << "login error 文件载入错误";
      SayUnreadForNow(loadError);
      get_gout() << "\n";
      return false;
    }
    ReportPasswordFileOpenToOthers(path);
    ReportBrokenPasswordHash(path, stored);
    const ePasswordCheck verdict = StoredPasswordMatches(stored, password ? password : "");
    if (verdict == ePasswordCheck::kCannotCheck) ReportUncheckedPasswordHash(path);
    if (verdict != ePasswordCheck::kMatch) {
      get_gout() << "login error 密码错误\n";
      return false;
    }
    file.GetInt("cmd", level);
    // A bad rights rule refuses the whole file: the account cannot log in until it is mended.
    if (!ParseAccountRights(path, name, std::move(text), rights, error)) {
      get_gout() << "login error " << error << "\n";
      return false;
    }
  }
  get_gout() << "login ok " << (name ? name : "") << " cmd level = " << level << " 成功登陆"
             << "\n";
  SetAccount(name, level);
  m_rights = std::move(rights);
  m_bRightsRead = true;
  m_bFromFile = GetConfigValue("check_login", 1) != 0;
  m_bReplayLogin = replayed;
  return true;
}

bool cAccountHelp::Logout() {
  TESSEL_ASSERT_WORKER();
  if (!IsLogin()) return false;
  get_gout() << "logout ok Account " << m_strName << " logout \n";
  m_strName.clear();
  return true;
}

void cAccountHelp::Trace() {
  get_gout() << m_nLinkID << " " << m_strName << " " << m_nLevel;
}
