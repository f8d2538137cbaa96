#include "platform/registry.h"

#include "platform/atomic_file.h"
#include "platform/folder_lock.h"
#include "platform/home_file.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

// One lock for every key file: a write reads, changes and replaces the whole file.
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// Values may hold any text; line breaks and backslashes are escaped so a value stays on its line.
std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char n = s[++i];
    out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
  }
  return out;
}

// False when the key's file is there but no regular file (a pipe would hold the start for
// ever) or past the settings' bound; a missing file holds no value.
bool ReadText(const std::string& file, std::string& text) {
  return ReadHomeFile(file, kSettingsFileBytes, text) != eHomeFile::kRefused;
}

bool ReadFile(const std::string& file, RegistryValues& values) {
  values.clear();
  std::string text;
  if (!ReadText(file, text)) return false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // A file saved by a Windows editor ends its lines with CR LF: the CR is no part of the value
    // (a value's own CR is written escaped).
    if (line.ends_with('\r')) line.pop_back();
    size_t at = line.find(" = ");
    if (at == std::string::npos) continue;
    values.emplace_back(line.substr(0, at), Unescape(line.substr(at + 3)));
  }
  return true;
}

// The key file's text with `changes` made: a line of a changed name takes its new value, a name
// not there yet is added at the end, and every other line stays as written, a line that no read
// takes (no " = " in it: a note or a value written by hand) too.
std::string WithChanges(const std::string& text, const RegistryValues& changes) {
  const auto entry = [](const auto& change) {
    return change.first + " = " + Escape(change.second) + "\n";
  };
  RegistryValues added = changes;
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" = ");
    const auto named = [&](const auto& change) { return line.substr(0, at) == change.first; };
    const auto last = std::find_if(changes.rbegin(), changes.rend(), named);
    if (at == std::string::npos || last == changes.rend()) {
      out += line + "\n";
      continue;
    }
    out += entry(*last);
    std::erase_if(added, named);
  }
  // A name given twice takes its last value, once.
  for (auto it = added.begin(); it != added.end(); ++it)
    if (std::find_if(it + 1, added.end(), [&](const auto& c) { return c.first == it->first; }) ==
        added.end())
      out += entry(*it);
  return out;
}

}  // namespace

std::string RegistryDir() {
  std::string dir = EnvOrEmpty("TESSEL_REGISTRY");
  if (!dir.empty()) return dir;
  dir = EnvOrEmpty("XDG_CONFIG_HOME");
  if (!dir.empty()) return dir + "/tessel/registry";
  dir = EnvOrEmpty("HOME");
  if (!dir.empty()) return dir + "/.config/tessel/registry";
  return {};
}

std::string RegistryKeyFile(const std::string& key) {
  std::string dir = RegistryDir();
  if (dir.empty() || key.empty()) return {};
  std::string path = key;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  // Every part must be a plain name: the key never leaves the registry folder.
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == "." || part == "..") return {};
  }
  if (path.back() == '/') return {};
  return dir + "/" + path + ".ini";
}

bool RegistryKey::Open(const std::string& key) {
  file_.clear();
  std::string file = RegistryKeyFile(key);
  if (file.empty()) return false;
  std::error_code ec;
  fs::create_directories(fs::path(file).parent_path(), ec);
  if (ec || !fs::is_directory(fs::path(file).parent_path())) return false;
  file_ = file;
  return true;
}

bool RegistryKey::Set(const std::string& name, const std::string& value) {
  return Set(RegistryValues{{name, value}});
}

bool RegistryKey::Set(const RegistryValues& changes) {
  if (file_.empty()) return false;
  // A name is one line whose first separator, once written, is the one behind it (a name ending
  // in " =" is not); any other could not be read back, so nothing is written.
  for (const auto& [name, value] : changes) {
    if (name.empty() || name.find('\n') != std::string::npos ||
        (name + " = ").find(" = ") != name.size())
      return false;
  }
  // Programs of one name share their key file: two read-change-replace writes at once, in one
  // process or in two, would each drop the other's values.
  std::lock_guard<std::mutex> lock(RegistryMutex());
  const cFolderLock folderLock(file_);
  // A file that cannot be read is left as it is: written over, its other values would be lost.
  std::string text;
  if (!folderLock.Held() || !ReadText(file_, text)) return false;
  return WriteFileAtomically(file_, WithChanges(text, changes));
}

std::optional<std::string> RegistryKey::Get(const std::string& name) const {
  for (const auto& [n, v] : GetAll()) {
    if (n == name) return v;
  }
  return std::nullopt;
}

RegistryValues RegistryKey::GetAll() const {
  if (file_.empty()) return {};
  std::lock_guard<std::mutex> lock(RegistryMutex());
  RegistryValues values;
  ReadFile(file_, values);
  return values;
}

}  // namespace platform
