#include "tessel/core/launch_words.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <iomanip>
#include <mutex>

#include "tessel/core/login_text.h"

namespace {

struct stTable {
  std::mutex lock;
  std::vector<stLaunchWord> words;
};

// Made on first use: declarations in other units may run before this unit's statics.
stTable& Table() {
  static stTable table;
  return table;
}

std::string Quoted(std::string_view word) {
  return "'" + std::string(word) + "'";
}

// The key whose value is a secret: a refusal shows what follows it only masked.
constexpr std::string_view kSecretKey = "password";

bool IsSecretKey(std::string_view key) {
  return key.size() == kSecretKey.size() &&
         strncasecmp(key.data(), kSecretKey.data(), kSecretKey.size()) == 0;
}

// `word` as a refusal shows it: a value glued to the secret key ("password=SECRET") masked.
std::string Shown(std::string_view word) {
  const size_t key = kSecretKey.size();
  if (word.size() <= key + 1 || !IsSecretKey(word.substr(0, key)) ||
      std::isalnum(static_cast<unsigned char>(word[key])) || word[key] == '_')
    return std::string(word);
  return std::string(word.substr(0, key + 1)) +
         MaskPassword(std::string(word.substr(key + 1)).c_str());
}

// The refusal of one KEY = VALUE group; empty when it is a launch word of the right form.
std::string CheckGroup(const std::string& key, const std::string& separator,
                       const std::string& value) {
  if (separator != "=") {
    // The secret key's next two words may hold its value, whichever of them is misplaced.
    const std::string rest =
        IsSecretKey(key) ? MaskPassword(separator.c_str()) + " " + MaskPassword(value.c_str())
                         : separator + " " + value;
    return Quoted(Shown(key) + " " + rest) + ": expected KEY = VALUE, with blanks around '='";
  }
  const std::optional<stLaunchWord> word = cLaunchWords::Find(key);
  if (!word) return "unknown launch word " + Quoted(Shown(key));
  if (word->check != nullptr && !word->check(value))
    return key + " = " + value + ": expected " +
           (word->expected ? word->expected : "another value");
  return {};
}

}  // namespace

cLaunchWords::cLaunchWords(std::initializer_list<stLaunchWord> words) {
  stTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  table.words.insert(table.words.end(), words.begin(), words.end());
}

std::vector<stLaunchWord> cLaunchWords::All() {
  stTable& table = Table();
  std::vector<stLaunchWord> words;
  {
    std::lock_guard<std::mutex> hold(table.lock);
    words = table.words;
  }
  std::sort(words.begin(), words.end(), [](const stLaunchWord& a, const stLaunchWord& b) {
    return std::strcmp(a.key, b.key) < 0;
  });
  return words;
}

std::optional<stLaunchWord> cLaunchWords::Find(std::string_view key) {
  stTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  for (const stLaunchWord& word : table.words)
    if (key == word.key) return word;
  return std::nullopt;
}

bool cLaunchWords::Check(const std::vector<std::string>& words, std::string& error) {
  for (size_t at = 0; at < words.size(); at += 3) {
    const std::string& key = words[at];
    if (key.size() > 1 && key[0] == '-') {
      error = "unknown option " + Quoted(key);
      return false;
    }
    if (at + 2 >= words.size()) {
      // A key alone, or a key and "=" without its value; a word with '=' inside lacks blanks.
      error = key.find('=') != std::string::npos && key != "="
                  ? Quoted(Shown(key)) + ": expected KEY = VALUE, with blanks around '='"
                  : Quoted(Shown(key)) + " has no value: expected KEY = VALUE";
      return false;
    }
    error = CheckGroup(key, words[at + 1], words[at + 2]);
    if (!error.empty()) return false;
  }
  return true;
}

void cLaunchWords::PrintTable(std::ostream& os) {
  for (const stLaunchWord& word : All()) {
    const std::string left = std::string(word.key) + " = " + word.value;
    os << "  " << std::left << std::setw(28) << left << " " << word.meaning << "\n";
  }
}

bool IsLaunchFlag(std::string_view value) {
  return value == "0" || value == "1";
}

bool IsLaunchNumber(std::string_view value) {
  unsigned number = 0;
  const char* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, number);
  return !value.empty() && ec == std::errc() && ptr == end && number <= 65535;
}

// Bytes from 0x80 on are taken too: a map may have a name of another script (长安), and no such
// byte is a separator or a control.
bool IsLaunchName(std::string_view value) {
  if (value.empty() || value.size() > 64) return false;
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (!std::isalnum(byte) && byte < 0x80 && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}
