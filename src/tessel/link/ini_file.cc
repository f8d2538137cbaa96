#include "tessel/link/ini_file.h"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <sstream>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/util/text_file_util.h"

namespace {

// The first line that holds text but not the three words KEY = VALUE; 0 when every line does.
int FirstUnreadableLine(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::istringstream words(line);
    std::vector<std::string> read;
    for (std::string word; words >> word && read.size() < 4;) read.push_back(word);
    if (!read.empty() && (read.size() != 3 || read[1] != "=")) return number;
  }
  return 0;
}

// Whether Load reads `word` back whole: it splits lines at the classic locale's white space.
bool OneWord(const std::string& word) {
  return !word.empty() && word.find_first_of(" \t\n\v\f\r") == std::string::npos;
}

}  // namespace

bool cIniFile::Load(const char* path) {
  m_strPath = path ? path : "";
  std::string text;
  if (!ReadReportedHomeFile(m_strPath, platform::kSettingsFileBytes, text)) return false;
  LoadText(std::move(text));
  return true;
}

void cIniFile::LoadText(std::string text) {
  // An editor's byte-order mark made the first key another one: a login file's serverip was
  // missed, and the link logged in to 127.0.0.1 with its password. A file saved as UTF-16 read
  // as no key at all.
  DecodeTextFile(text);
  // Each line's whitespace-separated words in threes: key, separator (not checked), value. A
  // line whose words are no whole threes gives nothing: read on into the next line, a key
  // without its value ("password =") took the next key's name as the value, and a value with a
  // blank gave its first word and shifted the lines after it. A read error keeps the entries as
  // they were: nothing of a half-read file is taken.
  std::istringstream lines(text);
  std::unordered_map<std::string, std::string> read;
  std::unordered_map<std::string, int> readLines;
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.size() % 3 != 0) continue;
    for (size_t at = 0; at < words.size(); at += 3) {
      read[words[at]] = words[at + 2];
      readLines[words[at]] = number;
    }
  }
  for (auto& [k, v] : read) m_mapValue[k] = std::move(v);
  for (auto& [k, n] : readLines) m_mapLine[k] = n;
  // A line of other words is reported: the entry it was meant to give is not there.
  if (const int bad = FirstUnreadableLine(text); bad != 0)
    ReportUnreadableLine(m_strPath, bad, "expected KEY = VALUE, each without blanks");
}

void cIniFile::ReportKeysInOtherCase(std::initializer_list<std::string_view> keys) const {
  const auto sameButCase = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
  };
  for (const auto& [key, line] : m_mapLine)
    for (const std::string_view wanted : keys)
      if (key != wanted && sameButCase(key, wanted))
        ReportUnreadableLine(m_strPath, line,
                             EscapeControls(key) + " is no key: keys are in lower case, " +
                                 std::string(wanted) + " keeps its default");
}

bool cIniFile::Save() {
  if (m_strPath.empty()) return false;
  std::ostringstream out;
  // A first key that begins like a byte-order mark keeps it through the mark Load takes away.
  if (!m_mapValue.empty() && BeginsLikeAMark(m_mapValue.begin()->first)) out << kByteOrderMark;
  for (const auto& [key, value] : m_mapValue) out << key << " = " << value << "\n";
  // Made afresh beside the file and renamed over it: never through a link or a pipe left in the
  // temporary's place, and an account file keeps the mode its owner gave it. A new one is the
  // owner's alone: account and login files hold passwords.
  return platform::WriteFileAtomically(m_strPath, out.str(), 0600);
}

bool cIniFile::GetString(const std::string& key, std::string& value) const {
  auto it = m_mapValue.find(key);
  if (it == m_mapValue.end()) return false;
  value = it->second;
  return true;
}

bool cIniFile::GetInt(const std::string& key, int& value) const {
  std::string text;
  if (!GetString(key, text)) return false;
  int parsed = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
  if (ec != std::errc() || ptr != end) return false;
  value = parsed;
  return true;
}

bool cIniFile::GetBool(const std::string& key, bool& value) const {
  int number = 0;
  if (!GetInt(key, number) || (number != 0 && number != 1)) return false;
  value = number == 1;
  return true;
}

bool cIniFile::SetString(const std::string& key, const std::string& value) {
  if (!OneWord(key) || !OneWord(value)) return false;
  m_mapValue[key] = value;
  return true;
}

bool cIniFile::SetInt(const std::string& key, int value) {
  return SetString(key, std::to_string(value));
}
