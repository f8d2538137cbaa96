#include "tessel/core/string_value.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/core/text_stream.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/util/text_file_util.h"

namespace {

// One "name = value" line per entry, in table order. A first name that begins like a
// byte-order mark gets one before it, which the reader drops, so that it reads back whole.
template <typename Table>
bool SaveHashMap(const Table& table, const char* file) {
  std::ostringstream text;
  for (const auto& [name, value] : table) {
    if (text.tellp() == 0 && BeginsLikeAMark(name)) text << kByteOrderMark;
    text << name << " = " << value << '\n';
  }
  if (file && platform::WriteFileAtomically(file, text.str())) return true;
  std::cout << "SaveHashMap"
            << " error can not open file! " << std::endl;
  return false;
}

// The whole file, never waited on; one that stands there but is no regular file or too large is
// reported (the values then keep their defaults). A byte-order mark that an editor put before
// the first name is dropped: kept, it would make that name another one, and the value the file
// sets would silently keep its default. A file saved as UTF-16 is read as the text it holds:
// read as bytes, none of its values was loaded (rights_without_account among them).
bool ReadValueFile(const char* file, std::string& text) {
  if (!ReadReportedHomeFile(file ? file : "", platform::kValueFileBytes, text)) return false;
  DecodeTextFile(text);
  return true;
}

int LineAt(const std::string& text, size_t at) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
}

// The most of a name that a report of its line shows.
constexpr size_t kShownNameBytes = 64;

// The whole word as an int: an optional sign and decimal digits, within the int's range.
bool ReadIntWord(const std::string& word, int& value) {
  if (word.starts_with("+-")) return false;
  const char* begin = word.data() + (word.starts_with('+') ? 1 : 0);
  const char* end = word.data() + word.size();
  const auto [stop, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && stop == end;
}

// Integer file: a name word, the '=' standing alone or before the integer's word, an integer
// word; the first entry that does not read completely ends the load, and its line is reported
// with the name. A value that only begins like an integer (0.5, 10s, 1O) or an entry without
// its '=' ("lua_time_limit 10" once read the 1 as the '=' and 0 as the value) sets nothing.
bool ReadIntFile(const char* file, cStringValue::IntTable& table, bool& whole) {
  whole = true;
  std::string text;
  if (!ReadValueFile(file, text)) return false;
  std::istringstream in(text);
  std::string name, word;
  char separator = 0;
  int value = 0;
  for (;;) {
    const std::streampos entry = in.tellg();  // -1 at the end of the text
    if (entry < 0) break;
    name.clear();
    if (!(in >> name >> separator >> word) || separator != '=' || !ReadIntWord(word, value)) {
      const size_t stop = text.find_first_not_of(" \t\r\n\v\f", static_cast<size_t>(entry));
      whole = stop == std::string::npos;
      if (!whole)
        ReportUnreadableLine(file, LineAt(text, stop),
                             EscapeControls(name.substr(0, kShownNameBytes)) +
                                 ": expected NAME = INTEGER; the values from here on are not "
                                 "loaded");
      break;
    }
    table[name] = value;
  }
  return true;
}

// The names that the lines of `rest` would set.
void NamesOf(const std::string& rest, std::unordered_set<std::string>& names) {
  std::istringstream in(rest);
  for (std::string line; std::getline(in, line);)
    if (const size_t at = line.find(" = "); at != std::string::npos)
      names.insert(TrimBlanksAndTabs(std::string_view(line).substr(0, at)));
}

// String file: each line split at its first " = "; the first line without one ends the load.
// That line is reported unless it is empty and nothing but blank lines follows it; the names
// the lines after it would set go to `cut`.
bool ReadStringFile(const char* file, cStringValue::StringTable& table,
                    std::unordered_set<std::string>& cut) {
  std::string text;
  if (!ReadValueFile(file, text)) return false;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    // Files edited on other systems may end their lines with carriage returns; none is kept,
    // since a value ending in one would not read back as saved.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    size_t at = line.find(" = ");
    if (at == std::string::npos) {
      std::ostringstream rest;
      rest << in.rdbuf();
      if (!line.empty() || rest.str().find_first_not_of(" \t\r\n\v\f") != std::string::npos)
        ReportUnreadableLine(file, number,
                             std::string(line.empty() ? "an empty line" : "no \" = \"") +
                                 " ends the values: the lines from here on are not loaded");
      NamesOf(rest.str(), cut);
      break;
    }
    // Blanks and tabs around the name ("rights_without_account  = @read") are no part of it.
    table[TrimBlanksAndTabs(std::string_view(line).substr(0, at))] = line.substr(at + 3);
  }
  return true;
}

template <typename Table>
void WriteTable(std::ostream& os, const Table& table) {
  os << table.size() << '\n';
  for (const auto& [name, value] : table) os& name& value;
  os << '\n';
}

// Reads one table in the stream's list form; only whole entries are kept.
template <typename Table>
void ReadTable(std::istream& in, Table& table) {
  std::uint32_t count = ReadStreamCount(in);
  table.clear();
  for (std::uint32_t i = 0; i < count && in; ++i) {
    std::string name;
    typename Table::mapped_type value{};
    in& name& value;
    if (in) table[name] = std::move(value);
  }
}

}  // namespace

cStringValue::~cStringValue() {
  if (!m_bSave) return;
  if (!m_strStringFile.empty()) SaveString(m_strStringFile.c_str());
  if (!m_strValueFile.empty()) SaveValue(m_strValueFile.c_str());
}

// The integer file reads a name as one word of the classic locale; the string file splits a
// line at its first " = ", drops carriage returns at its end and blanks around the name.
bool cStringValue::IntStorable(std::string_view name) {
  return !name.empty() && name.find_first_of(" \t\n\v\f\r") == std::string_view::npos;
}

bool cStringValue::StringStorable(std::string_view name, std::string_view text) {
  constexpr std::string_view kLineEnds = "\r\n";
  const std::string line = std::string(name) + " = ";
  const bool trimmed = name.empty() || (kNameBlanks.find(name.front()) == std::string_view::npos &&
                                        kNameBlanks.find(name.back()) == std::string_view::npos);
  return trimmed && name.find_first_of(kLineEnds) == std::string_view::npos &&
         line.find(" = ") == name.size() && text.find_first_of(kLineEnds) == std::string_view::npos;
}

// A default under a name the file could not carry is handed back without being stored.
int cStringValue::GetStringValue(const char* name, int def) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (auto it = m_mapValue.find(name); it != m_mapValue.end()) return it->second;
  if (IntStorable(name) && MayKeep(name)) {
    m_mapValue.emplace(name, def);
    Changed();
  }
  return def;
}

bool cStringValue::SetStringValue(const char* name, int value) {
  if (!IntStorable(name)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mapValue[name] = value;
  Changed();
  return true;
}

void cStringValue::AddStringValue(const char* name, int value) {
  if (!IntStorable(name)) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  int& v = m_mapValue[name];
  v = static_cast<int>(static_cast<unsigned>(v) + static_cast<unsigned>(value));
  Changed();
}

std::string cStringValue::GetStringString(const char* name, const char* def) {
  const std::string text = def ? def : "";
  std::lock_guard<std::mutex> lock(m_mutex);
  if (auto it = m_mapString.find(name); it != m_mapString.end()) return it->second;
  if (StringStorable(name, text) && MayKeep(name) && MayKeepText(name, text)) {
    m_mapString.emplace(name, text);
    Changed();
  }
  return text;
}

bool cStringValue::SetStringString(const char* name, const std::string& value) {
  if (!StringStorable(name, value)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mapString[name] = value;
  m_stringsCut.erase(name);
  Changed();
  return true;
}

int cStringValue::PeekStringValue(const char* name, int def) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_mapValue.find(name);
  return it != m_mapValue.end() ? it->second : def;
}

std::string cStringValue::PeekStringString(const char* name, const char* def) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_mapString.find(name);
  return it != m_mapString.end() ? it->second : std::string(def ? def : "");
}

size_t cStringValue::Size() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_mapValue.size() + m_mapString.size();
}

size_t cStringValue::StringBytes(const char* except) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return StringBytesLocked(except);
}

size_t cStringValue::StringBytesLocked(const char* except) const {
  size_t bytes = 0;
  for (const auto& [name, text] : m_mapString)
    if (except == nullptr || name != except) bytes += name.size() + text.size();
  return bytes;
}

bool cStringValue::Holds(const char* name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_mapValue.count(name) != 0 || m_mapString.count(name) != 0;
}

void cStringValue::Load(const char* intFile, const char* stringFile) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strValueFile = intFile ? intFile : "";
    m_strStringFile = stringFile ? stringFile : "";
  }
  LoadValue(intFile);
  LoadStringA(stringFile);
}

bool cStringValue::LoadValue(const char* file) {
  IntTable read;
  bool whole = true;
  bool opened = ReadIntFile(file, read, whole);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bIntFileCut = m_bIntFileCut || !whole;
  for (auto& [name, value] : read) m_mapValue[name] = value;
  Changed();
  return opened;
}

bool cStringValue::LoadStringA(const char* file) {
  StringTable read;
  std::unordered_set<std::string> cut;
  bool opened = ReadStringFile(file, read, cut);
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& [name, value] : read) m_mapString[name] = std::move(value);
  m_stringsCut.merge(cut);
  Changed();
  return opened;
}

bool cStringValue::SaveValue(const char* file) const {
  return SaveHashMap(GetValues(), file);
}

bool cStringValue::SaveString(const char* file) const {
  return SaveHashMap(GetStrings(), file);
}

void cStringValue::SetSave(bool save) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bSave = save;
}

void cStringValue::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mapValue.clear();
  m_mapString.clear();
  m_stringsCut.clear();
  Changed();
}

cStringValue::IntTable cStringValue::GetValues() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_mapValue;
}

cStringValue::StringTable cStringValue::GetStrings() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_mapString;
}

std::ostream& operator&(std::ostream& os, const cStringValue& store) {
  std::lock_guard<std::mutex> lock(store.m_mutex);
  WriteTable(os, store.m_mapValue);
  WriteTable(os, store.m_mapString);
  return os;
}

std::istream& operator&(std::istream& in, cStringValue& store) {
  // Both tables are read aside first, so an overflow exception leaves the store as it was.
  cStringValue::IntTable values;
  cStringValue::StringTable strings;
  ReadTable(in, values);
  if (in) ReadTable(in, strings);
  std::lock_guard<std::mutex> lock(store.m_mutex);
  store.m_mapValue = std::move(values);
  store.m_mapString = std::move(strings);
  store.Changed();
  return in;
}
