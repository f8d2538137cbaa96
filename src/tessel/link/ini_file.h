// A key-value text file held in memory: one entry per line, key " = " value. Account files and
// login files use it. One owner thread at a time.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>

class cIniFile {
 public:
  // Remembers the path; reads each line's words in threes (key, separator, value), nothing of a
  // line whose words are no whole threes. False, with the entries as they were, when the file
  // cannot be opened.
  bool Load(const char* path);
  // The same with the file's text read already (as Load reads it, up to its bound).
  void LoadText(std::string text);
  // Writes every entry to the remembered path (through a temporary file renamed over it; a new
  // file only its owner reads). False with no path or when the file cannot be written.
  bool Save();

  // Each false, with the output untouched, when the key is missing; GetInt also when the value
  // is not a decimal number, GetBool unless the value is exactly 0 or 1.
  bool GetString(const std::string& key, std::string& value) const;
  bool GetInt(const std::string& key, int& value) const;
  bool GetBool(const std::string& key, bool& value) const;

  // Refuse (false, nothing changed) a key or value that Load would not read back as one word:
  // empty, or holding a blank, tab or line end ("x\nallow = @all" would come back as a key of
  // its own).
  bool SetString(const std::string& key, const std::string& value);
  bool SetInt(const std::string& key, int value);

  // Reports each line of the file whose key is one of `keys` but for letter case ("ServerIP",
  // as a Windows home may hold): the value it sets is read under no key the reader asks for.
  void ReportKeysInOtherCase(std::initializer_list<std::string_view> keys) const;

  const std::string& GetPath() const { return m_strPath; }
  void SetPath(const std::string& path) { m_strPath = path; }
  const std::unordered_map<std::string, std::string>& Entries() const { return m_mapValue; }

 private:
  std::unordered_map<std::string, std::string> m_mapValue;
  std::unordered_map<std::string, int> m_mapLine;  // the line that set each key Load read
  std::string m_strPath;
};
