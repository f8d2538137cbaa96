#include "tessel/console/alias.h"

#include <algorithm>
#include <boost/format.hpp>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/folder_lock.h"
#include "platform/home_file.h"
#include "tessel/console/clipboard.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/login_text.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/text_file_util.h"

namespace {

const char* const kAliasFolder = "alias";
const char* const kAliasFile = "alias/alias.txt";
const char* const kSeparator = " = ";
const size_t kMaxAliasWords = 10;
const size_t kMaxAliasParams = 4;

// Aliases and replacements never grow a line past this: a text that a replacement or an alias
// placeholder repeats would otherwise make gigabytes of one short command.
const size_t kMaxRewrittenBytes = size_t{1} << 20;

// True when a line of `size` bytes, grown by `count` times `each` bytes, stays within the bound
// (or does not grow).
bool GrowthFits(size_t size, size_t count, size_t each) {
  if (count == 0 || each == 0) return true;
  return size < kMaxRewrittenBytes && count <= (kMaxRewrittenBytes - size) / each;
}

// Replaces every occurrence of `from` in `text`; the inserted text is never searched again.
// False, with the text unchanged, when the result would pass kMaxRewrittenBytes.
bool ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return true;
  size_t count = 0;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + from.size()))
    ++count;
  if (to.size() > from.size() && !GrowthFits(text.size(), count, to.size() - from.size()))
    return false;
  std::string::size_type at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return true;
}

// True when every '%' of the text is a placeholder "%N%" (N of at most six digits) or a literal
// "%%". Nothing else is an alias placeholder, and the format parser fails on some other forms
// (an overflow on long numbers, its own consistency check on some mixed directives).
bool PlaceholdersOnly(const std::string& text) {
  for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at)) {
    size_t end = at + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end >= text.size() || text[end] != '%' || end - at - 1 > 6) return false;
    at = end + 1;
  }
  return true;
}

// The number of parameters an alias text expects; -1 when the text is no valid format.
int ExpectedParams(const std::string& text) {
  if (!PlaceholdersOnly(text)) return -1;
  try {
    return boost::format(text).expected_args();
  } catch (const boost::io::format_error&) {
    return -1;
  }
}

// A word the alias lookup can find (the first blank-separated word of a line) and the file
// keeps on one line before its first separator.
bool IsAliasWord(const std::string& word) {
  return !word.empty() && word.find_first_of(" \t\r\n\v\f") == std::string::npos;
}

// The alias words and replacement texts whose expansion carries a password, for other threads.
struct stSecretWords {
  std::mutex lock;
  std::set<std::string, std::less<>> aliases;
  std::vector<std::string> replaced;
};

stSecretWords& SecretWords() {
  static stSecretWords* const words = new stSecretWords;  // read until the process ends
  return *words;
}

}  // namespace

cAlias& cAlias::Instance() {
  static cAlias s_alias;
  return s_alias;
}

cAlias::cAlias() {
  Load();
}

bool cAlias::Load() {
  TESSEL_ASSERT_WORKER();
  m_mapAlias.clear();
  m_strUnreadTail.clear();
  m_changed.clear();
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(kAliasFolder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec) && it->path().extension() == ".txt") {
      files.push_back(it->path().string());
    }
  }
  if (files.empty()) ReportOtherCase(kAliasFile);  // "Alias/Alias.txt" copied from Windows
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) LoadFile(file);
  PublishSecrets();
  return !files.empty();
}

void cAlias::LoadFile(const std::string& file) {
  // Read whole and never waited on: a pipe, a device or a file past the bound is named and
  // skipped.
  std::string text, why;
  if (platform::ReadHomeFile(file, platform::kSettingsFileBytes, text, &why) !=
      platform::eHomeFile::kRead) {
    std::cout << "cAlias::Load " << why << std::endl;
    return;
  }
  std::string tail;
  const int stop = ReadAliasText(text, m_mapAlias, tail);
  if (stop == 0) return;
  std::cout << "cAlias::Load " << file << " line " << stop
            << " has no \" = \": the file is read up to there" << std::endl;
  // Save rewrites this file: the lines not read stay after the table, as the operator wrote
  // them, rather than being dropped by the next AddAlias.
  if (std::filesystem::path(file) == kAliasFile) m_strUnreadTail = tail;
}

int cAlias::ReadAliasText(std::string text, AliasTable& table, std::string& tail) {
  // An editor's byte-order mark made the first alias a word no typed line starts with; a file
  // saved as UTF-16 is read as the text it holds.
  DecodeTextFile(text);
  std::istringstream in(text);
  std::string line;
  for (int number = 1;; ++number) {
    const std::streamoff lineStart = in.tellg();
    if (!std::getline(in, line)) break;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string::size_type at = line.find(kSeparator);
    if (at == std::string::npos) {
      tail = text.substr(lineStart);
      return number;
    }
    // Blanks and tabs around the word (its " = " aligned with a longer word's) are no part of
    // it: kept, the alias was skipped without a word. A word no typed line can start with
    // (empty, or holding a blank) is no alias.
    const std::string word = TrimBlanksAndTabs(std::string_view(line).substr(0, at));
    if (!IsAliasWord(word)) continue;
    table[word] = line.substr(at + 3);
  }
  return 0;
}

cAlias::eAdded cAlias::AddAlias(const std::string& word, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  if (!IsAliasWord(word) || text.find_first_of("\r\n") != std::string::npos)
    return eAdded::kRefused;
  // The file holds every alias; past what a load reads it would be skipped whole, all of them lost.
  std::size_t bytes =
      word.size() + std::strlen(kSeparator) + text.size() + 1 + m_strUnreadTail.size() + 1;
  for (const auto& [known, line] : m_mapAlias)
    if (known != word) bytes += known.size() + std::strlen(kSeparator) + line.size() + 1;
  if (bytes > platform::kSettingsFileBytes) return eAdded::kRefused;
  m_mapAlias[word] = text;
  m_changed.insert(word);
  const bool saved = Save();
  PublishSecrets();
  return saved ? eAdded::kSaved : eAdded::kNotSaved;
}

bool cAlias::SetReplace(const std::string& from, const std::string& to) {
  TESSEL_ASSERT_WORKER();
  std::size_t bytes = from.size() + to.size();
  for (const auto& [known, text] : m_mapReplace)
    if (known != from) bytes += known.size() + text.size();
  const bool added = m_mapReplace.count(from) == 0;
  if (bytes > kMaxReplaceBytes || (added && m_mapReplace.size() >= kMaxReplacements)) return false;
  m_mapReplace[from] = to;
  // Only this one is looked at: a table of 10000 looked at whole at each set took minutes.
  const bool secret = !from.empty() && SecretWordAt(to) != std::string_view::npos;
  stSecretWords& words = SecretWords();
  const std::lock_guard<std::mutex> hold(words.lock);
  std::erase(words.replaced, from);
  if (secret) words.replaced.push_back(from);
  return true;
}

void cAlias::PublishSecrets() const {
  std::set<std::string, std::less<>> aliases;
  for (const auto& [word, text] : m_mapAlias)
    if (SecretWordAt(text) != std::string_view::npos) aliases.insert(word);
  stSecretWords& words = SecretWords();
  const std::lock_guard<std::mutex> hold(words.lock);
  words.aliases.swap(aliases);
}

size_t cAlias::SecretWordEnd(std::string_view line) {
  stSecretWords& words = SecretWords();
  const std::unique_lock<std::mutex> hold(words.lock, std::try_to_lock);
  if (!hold.owns_lock()) return 0;
  size_t end = std::string_view::npos;
  const size_t first = line.find_first_not_of(" \t\r\n\v\f");
  if (first != std::string_view::npos) {
    const size_t after = std::min(line.find_first_of(" \t\r\n\v\f", first), line.size());
    if (words.aliases.find(line.substr(first, after - first)) != words.aliases.end()) end = after;
  }
  for (const std::string& from : words.replaced)
    if (const size_t at = line.find(from); at != std::string_view::npos)
      end = std::min(end, at + from.size());
  return end;
}

// The file is replaced whole: a full disk or a crash while it is written leaves the aliases it
// held before, never a file cut in the middle (which the next start would read up to the cut).
// Every process started in this home saves the same file: under the folder's lock the file is
// read again, and what it holds now is kept but for the aliases this process set since its last
// save, so that an alias another process saved meanwhile is not written over and lost.
bool cAlias::Save() {
  TESSEL_ASSERT_WORKER();
  // A home starts without the folder: without it the alias would be lost at the next reload.
  std::error_code ec;
  std::filesystem::create_directories(kAliasFolder, ec);
  const platform::cFolderLock lock(kAliasFile);
  AliasTable table = m_mapAlias;
  std::string text, tail = m_strUnreadTail;
  if (lock.Held() && platform::ReadHomeFile(kAliasFile, platform::kSettingsFileBytes, text) ==
                         platform::eHomeFile::kRead) {
    AliasTable saved;
    tail.clear();
    ReadAliasText(text, saved, tail);
    for (auto& [word, line] : saved) {
      if (m_changed.count(word) == 0) table[word] = line;
      m_mapAlias.emplace(word, std::move(line));
    }
  }
  text.clear();
  for (const auto& [word, line] : table) text += word + kSeparator + line + "\n";
  text += tail;
  if (!tail.empty() && tail.back() != '\n') text += '\n';
  if (BeginsLikeAMark(text)) text.insert(0, kByteOrderMark);  // read back as written
  if (lock.Held() && text.size() <= platform::kSettingsFileBytes &&
      platform::WriteFileAtomically(kAliasFile, text)) {
    m_changed.clear();
    m_strUnreadTail = tail;
    return true;
  }
  std::cout << "SaveHashMap"
            << " error can not open file! \n";
  return false;
}

void cAlias::Display(std::ostream& os) const {
  os << "【alias】" << std::endl;
  for (const auto& [word, text] : m_mapAlias)
    os << word << kSeparator << MaskCmdText(text) << std::endl;
}

void cAlias::TraceReplace() const {
  std::cout << "【replace】" << std::endl;
  for (const auto& [from, to] : m_mapReplace)
    std::cout << from << kSeparator << MaskCmdText(to) << std::endl;
}

bool cAlias::Alias(std::string& line) {
  TESSEL_ASSERT_WORKER();
  std::istringstream words(line);
  std::string word;
  if (words >> word) {
    const auto found = m_mapAlias.find(word);
    if (found != m_mapAlias.end() && !ExpandAlias(word, found->second, line)) line.clear();
  }
  return Replace(line);
}

// Rewrites the line from the alias text and the words after the alias word. False when the
// line must not run because the parameters do not fit the text's placeholders.
bool cAlias::ExpandAlias(const std::string& word, const std::string& text, std::string& line) {
  std::istringstream words(line);
  std::string skip;
  words >> skip;
  std::vector<std::string> params;
  std::string param;
  while (params.size() < kMaxAliasWords && words >> param) params.push_back(param);
  if (params.size() > kMaxAliasParams) return true;

  const int expected = ExpectedParams(text);
  if (params.empty() && expected <= 0) {
    line = text;
    return true;
  }
  if (expected != static_cast<int>(params.size())) {
    std::cout << "cAlias::Alias error alias " << word << " wants " << expected
              << " parameters, got " << params.size() << ", nothing runs" << std::endl;
    return false;
  }
  // Each placeholder takes at least two '%' and is filled with one parameter at most this long.
  size_t longest = 0;
  for (const std::string& p : params) longest = std::max(longest, p.size());
  const auto marks = static_cast<size_t>(std::count(text.begin(), text.end(), '%')) / 2;
  if (!GrowthFits(text.size(), marks, longest)) {
    std::cout << "cAlias::Alias error alias " << word << " would make a line of more than "
              << kMaxRewrittenBytes << " bytes, nothing runs" << std::endl;
    return false;
  }
  boost::format format(text);
  for (const std::string& p : params) format % p;
  line = format.str();
  return true;
}

bool cAlias::Replace(std::string& line) {
  TESSEL_ASSERT_WORKER();
  for (const auto& [from, to] : m_mapReplace)
    if (!ReplaceAll(line, from, to)) return RefuseGrown(line);
  if (line.find("$p") == std::string::npos) return false;
  // The clipboard is the desktop's of the machine the process runs on, the console operator's:
  // a line run for an account (ParseCmd, a batch line, a broadcast) would read what the operator
  // copied, and start the paste tool, at that account's word.
  if (cCmdRightsScope::Current()) {
    get_gout() << "cAlias::Replace the clipboard goes into console lines only, nothing runs\n";
    line.clear();
    return false;
  }
  const stClipboard clip = ReadClipboard();
  if (!clip.opened) {
    std::cout << "Can not Open clipboard!\n";
    return false;
  }
  if (!clip.hasText) {
    std::cout << "text is null!\n";
    return false;
  }
  if (!ReplaceAll(line, "$p", clip.text)) return RefuseGrown(line);
  return true;
}

bool cAlias::RefuseGrown(std::string& line) {
  std::cout << "cAlias::Replace error the line would pass " << kMaxRewrittenBytes
            << " bytes, nothing runs" << std::endl;
  line.clear();
  return false;
}
