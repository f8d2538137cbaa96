#include "tessel/link/account_rights.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "platform/home_file.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/host.h"
#include "tessel/util/text_file_util.h"

namespace {

std::string OriginOf(const std::string& account) {
  return account + "@" + GetHost().GetAccount();
}

const char* const kRightsKeys[] = {"allow", "deny", "targets", "process"};

bool IsRightsKey(const std::string& word) {
  for (const char* key : kRightsKeys)
    if (word == key) return true;
  return false;
}

// The rights key a line's first word was meant to give however it is written (after a byte-order
// mark, in another case, with no blank before '='); empty when it names none. Such a line that
// is not exactly KEY = VALUE refuses the file: skipped, it would grant what it meant to deny.
std::string MeantRightsKey(std::string word) {
  DropByteOrderMark(word);
  word.erase(std::min(word.find('='), word.size()));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return IsRightsKey(word) ? word : std::string();
}

// Whether `word` is the start of a rights key however written, and not the whole key.
bool StartsARightsKey(std::string word) {
  DropByteOrderMark(word);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* key : kRightsKeys)
    if (!word.empty() && word.size() < std::strlen(key) && std::string_view(key).starts_with(word))
      return true;
  return false;
}

// One rights key's value into the rules; false with the reason.
bool ApplyKey(const std::string& key, const std::string& value, cRightRules& rules, bool& process,
              std::string& error) {
  if (key == "allow") {
    rules.m_bAllowList = true;
    return cRightRules::ParseItems(value, rules.m_allow, error);
  }
  if (key == "deny") return cRightRules::ParseItems(value, rules.m_deny, error);
  if (key == "targets") return cRightRules::ParseTargets(value, rules.m_targets, error);
  if (value != "0" && value != "1") {
    error = "process must be 0 or 1";
    return false;
  }
  process = value == "1";
  return true;
}

}  // namespace

bool LoadAccountRights(const std::string& path, const std::string& account, stAccountRights& out,
                       std::string& error) {
  std::string text;
  const platform::eHomeFile read =
      platform::ReadHomeFile(path, platform::kSettingsFileBytes, text, &error);
  if (read == platform::eHomeFile::kMissing) error = path + ": cannot be read";
  if (read != platform::eHomeFile::kRead) return false;
  return ParseAccountRights(path, account, std::move(text), out, error);
}

bool ParseAccountRights(const std::string& path, const std::string& account, std::string text,
                        stAccountRights& out, std::string& error) {
  // Read as the account's password and level are (cIniFile): a file saved as UTF-16 gave them
  // and skipped every rule.
  DecodeTextFile(text);
  std::istringstream file(text);
  auto rules = std::make_shared<cRightRules>();
  bool process = false;
  bool any = false;
  std::set<std::string> seen;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    std::istringstream words(line);
    std::vector<std::string> word;
    for (std::string w; words >> w;) word.push_back(w);
    if (word.empty()) continue;
    std::string reason;
    if (!IsRightsKey(word[0])) {
      const std::string meant = MeantRightsKey(word[0]);
      // A last line without its line end that is a key's start: the file is being written in
      // place, and the rules it will hold are not all there yet.
      if (meant.empty() && file.eof() && word.size() == 1 && StartsARightsKey(word[0]))
        reason = "the file ends inside a key, as one being written";
      else if (meant.empty())
        continue;
      else
        reason = word[0].starts_with(kByteOrderMark) ? "a byte-order mark before " + meant
                                                     : "expected: " + meant + " = VALUE";
    } else if (word.size() != 3 || word[1] != "=") {
      reason = word.size() > 3 ? "a blank inside the value" : "expected: " + word[0] + " = VALUE";
    } else if (!seen.insert(word[0]).second) {
      reason = word[0] + " given twice";
    } else {
      ApplyKey(word[0], word[2], *rules, process, reason);
    }
    if (!reason.empty()) {
      error = path + ":" + std::to_string(number) + ": " + reason;
      return false;
    }
    any = any || word[0] != "process";
  }
  out.process = process;
  out.rights.reset();
  if (!any) return true;
  auto rights = std::make_shared<stCmdRights>();
  rights->account = account;
  rights->origin = OriginOf(account);
  rights->rules.push_back(std::move(rules));
  out.rights = std::move(rights);
  return true;
}

bool RightsWithoutAccount(const std::string& account, CmdRightsPtr& rights, std::string& error) {
  const std::string value = GetConfigString("rights_without_account", "");
  rights.reset();
  // A value the file meant to set but did not load would leave every group open.
  if (value.empty() && GetConfigStore().StringCut("rights_without_account")) {
    error = "rights_without_account: not read past an unreadable line of config/config_str.ini";
    return false;
  }
  if (value.empty()) return true;
  auto rules = std::make_shared<cRightRules>();
  rules->m_bAllowList = true;
  if (!cRightRules::ParseItems(value, rules->m_allow, error)) {
    error = "rights_without_account: " + error;
    return false;
  }
  auto made = std::make_shared<stCmdRights>();
  made->account = account;
  made->origin = OriginOf(account);
  made->rules.push_back(std::move(rules));
  rights = std::move(made);
  return true;
}

CmdRightsPtr GrantNothing(const std::string& account) {
  auto none = std::make_shared<stCmdRights>();
  none->account = account;
  auto rules = std::make_shared<cRightRules>();
  rules->m_bAllowList = true;
  none->rules.push_back(std::move(rules));
  return none;
}
