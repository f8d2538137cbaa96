// A named-value store: a table of integers and a table of strings, each optionally loaded from
// and saved to a text file. Guarded by its own lock, so any thread may call it.
#pragma once

#include <atomic>
#include <cstdint>
#include <istream>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// Files of the configuration and game stores, relative to the working folder.
inline constexpr const char* kConfigIntFile = "config//config_int.ini";
inline constexpr const char* kConfigStrFile = "config//config_str.ini";
inline constexpr const char* kGameIntFile = "game//game_int.ini";
inline constexpr const char* kGameStrFile = "game//game_str.ini";
// What the string files drop around a name.
inline constexpr std::string_view kNameBlanks = " \t";

class cStringValue {
 public:
  using IntTable = std::unordered_map<std::string, int>;
  using StringTable = std::unordered_map<std::string, std::string>;

  cStringValue() = default;
  cStringValue(const cStringValue&) = delete;
  cStringValue& operator=(const cStringValue&) = delete;
  // With the save flag set, writes both tables back to the files named by Load.
  ~cStringValue();

  // Every way of storing refuses (nothing changed) a name or text that the files would not read
  // back as itself: stored and saved, it would load as other names at the next start.
  //   integers: a name that is one word (not empty, no blank, tab or line end);
  //   strings:  a name without a line end whose first " = " in the line is the separator
  //             (so no " = " inside it and not ending in " ="), without a blank or tab at
  //             either end, a text without a line end.
  static bool IntStorable(std::string_view name);
  static bool StringStorable(std::string_view name, std::string_view text);

  // The integer of that name; when missing, def is stored under the name and returned.
  int GetStringValue(const char* name, int def);
  // False when the name is refused.
  bool SetStringValue(const char* name, int value);
  // Adds to the integer (a missing one counts as 0); the sum wraps around like the machine's.
  void AddStringValue(const char* name, int value);
  // A copy of the string of that name, taken under the lock (another thread may set the value
  // meanwhile); when missing, def is stored first (within the bounds of kept defaults below).
  std::string GetStringString(const char* name, const char* def);
  // False when the name or the text is refused.
  bool SetStringString(const char* name, const std::string& value);
  // The integer (the string) of that name, or def when missing; the store stays as it was.
  int PeekStringValue(const char* name, int def) const;
  std::string PeekStringString(const char* name, const char* def) const;

  // Remembers both file names, then loads the integer file and the string file.
  void Load(const char* intFile, const char* stringFile);
  // Load one table without remembering the file; false when the file cannot be opened.
  bool LoadValue(const char* file);
  // Whether an integer file's load stopped at an entry it could not read: the names after it
  // were not loaded and keep their defaults.
  bool IntFileCut() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bIntFileCut;
  }
  bool LoadStringA(const char* file);
  // Whether a string file's load stopped at a line before one that sets the name: the value
  // written there was not loaded (until the name is set).
  bool StringCut(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stringsCut.count(name) != 0;
  }
  // Write one table ("name = value" lines) through a temporary file renamed over the target;
  // false (with a message on standard output) when it cannot be written.
  bool SaveValue(const char* file) const;
  bool SaveString(const char* file) const;

  void SetSave(bool save);
  void Clear();

  // A count that grows with every change of either table: a reader that keeps values read
  // from the store reads them again when it has moved.
  uint64_t Changes() const { return m_changes.load(std::memory_order_acquire); }

  // A read of a missing name stores its default only for a name of at most kMaxKeptNameBytes
  // while both tables hold fewer than kMaxKeptNames names together: reads (commands of peers
  // among them) never fill the memory and the files with names.
  static constexpr size_t kMaxKeptNameBytes = 256;
  static constexpr size_t kMaxKeptNames = 10000;
  // A string read keeps its default only for a text of at most kMaxKeptTextBytes while the
  // string table's names and texts stay within kMaxKeptStringBytes (the bounds of the commands
  // that set texts): a loop of reads with a long default would fill the memory with copies.
  static constexpr size_t kMaxKeptTextBytes = 65536;
  static constexpr size_t kMaxKeptStringBytes = size_t{16} << 20;
  // The names of both tables together; whether either table holds the name.
  size_t Size() const;
  // The bytes of the string table's names and texts, those of `except` (when given) left out.
  size_t StringBytes(const char* except = nullptr) const;
  bool Holds(const char* name) const;

  // Copies of the tables, for listings.
  IntTable GetValues() const;
  StringTable GetStrings() const;

  friend std::ostream& operator&(std::ostream& os, const cStringValue& store);
  friend std::istream& operator&(std::istream& in, cStringValue& store);

 private:
  // Under the lock, after the tables changed.
  void Changed() { m_changes.fetch_add(1, std::memory_order_release); }
  // Under the lock: whether a read may store the default of a missing name.
  bool MayKeep(std::string_view name) const {
    return name.size() <= kMaxKeptNameBytes &&
           m_mapValue.size() + m_mapString.size() < kMaxKeptNames;
  }
  // Under the lock: whether a string read may store its default text as well.
  bool MayKeepText(std::string_view name, std::string_view text) const {
    return text.size() <= kMaxKeptTextBytes &&
           StringBytesLocked(nullptr) + name.size() + text.size() <= kMaxKeptStringBytes;
  }
  // Under the lock: StringBytes.
  size_t StringBytesLocked(const char* except) const;

  mutable std::mutex m_mutex;
  std::atomic<uint64_t> m_changes{0};
  IntTable m_mapValue;
  StringTable m_mapString;
  std::string m_strValueFile;
  std::string m_strStringFile;
  bool m_bSave = false;
  bool m_bIntFileCut = false;
  std::unordered_set<std::string> m_stringsCut;  // names of string file lines not loaded
};

// The text form: the integer table, then the string table, each as a count and its entries.
// Reading replaces both tables; a count or string length above the stream limits throws the
// stream's read-overflow exception and leaves the store as it was.
std::ostream& operator&(std::ostream& os, const cStringValue& store);
std::istream& operator&(std::istream& in, cStringValue& store);
