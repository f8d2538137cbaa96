// The per-user registry store: one key-value file per key under the registry folder, each value a
// string. Every write replaces the key's file atomically. Any thread may call these functions.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The registry folder: $TESSEL_REGISTRY, else $XDG_CONFIG_HOME/tessel/registry, else
// $HOME/.config/tessel/registry; empty when none of them is set.
std::string RegistryDir();

// The file that holds a key such as "Software\\server" or "Software/server":
// <registry dir>/Software/server.ini. Empty when the key is not a safe relative name (empty
// parts, "." or "..") or there is no registry folder.
std::string RegistryKeyFile(const std::string& key);

using RegistryValues = std::vector<std::pair<std::string, std::string>>;

// An open registry key. Open creates the key when it is missing; every Set writes through at
// once (read the file, replace the value, write a temporary file and rename it over the key's
// file) under a lock on the key's folder, so values written by other objects, threads or
// processes for the same key are kept.
class RegistryKey {
 public:
  // False when the key's folder cannot be created or the name is not a safe key.
  bool Open(const std::string& key);
  bool IsOpen() const { return !file_.empty(); }
  void Close() { file_.clear(); }

  // A line of the file that no read takes (without " = ") stays as written.
  // False when the file cannot be read (no regular file, past 1 MiB) or written, another process
  // held the key's folder for 2 s, or a name could
  // not be read back from it (empty, more than one line, holding " = " or ending in " ="); the
  // key's previous file then stays as it was.
  bool Set(const std::string& name, const std::string& value);
  bool Set(const RegistryValues& values);
  std::optional<std::string> Get(const std::string& name) const;
  // Every value of the key in file order (empty when the key has no file yet or it cannot be
  // read).
  RegistryValues GetAll() const;

 private:
  std::string file_;
};

}  // namespace platform
