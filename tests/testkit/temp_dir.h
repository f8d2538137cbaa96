// One temporary folder for a test, removed with everything in it at the end. While it lives it
// can be the working folder and the host's home (TESSEL_HOME, TESSEL_REGISTRY), both given back
// at the end. Header-only, so suites that do not link the host library can use it. Main thread.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/scoped_env.h"

namespace testkit {

class cTempDir {
 public:
  // kWorkDir makes the folder the working folder at once, kHome also the host's home.
  enum eUse { kPlain, kWorkDir, kHome };

  explicit cTempDir(eUse use = kPlain) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessel_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
    m_path = pattern;
    if (use == kWorkDir) enter();
    if (use == kHome) home();
  }
  ~cTempDir() {
    m_env.clear();
    std::error_code ec;
    if (!m_before.empty()) std::filesystem::current_path(m_before, ec);
    std::filesystem::remove_all(m_path, ec);
  }
  cTempDir(const cTempDir&) = delete;
  cTempDir& operator=(const cTempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // The path of `name` inside the folder.
  std::string file(const std::string& name) const { return (m_path / name).string(); }
  std::string operator/(const std::string& name) const { return file(name); }
  // Writes a file inside the folder, making its folders as needed; gives its path.
  std::string write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((m_path / name).parent_path());
    std::ofstream(m_path / name, std::ios::binary | std::ios::trunc) << text;
    return file(name);
  }
  // Writes the console account `name` (db/accounts/NAME.ini): its password, its command level,
  // then the lines `more`.
  std::string account(const std::string& name, const std::string& password, int level,
                      const std::string& more = "") const {
    return write("db/accounts/" + name + ".ini",
                 "password = " + password + "\ncmd = " + std::to_string(level) + "\n" + more);
  }
  // Writes the login file a client uses for its upstream `upstream` (config/login_NAME.ini): a
  // loopback address, the account and password, then the lines `more`.
  std::string login(const std::string& upstream, const std::string& account,
                    const std::string& password, const std::string& more = "") const {
    return write("config/login_" + upstream + ".ini", "serverip = 127.0.0.1\naccount = " + account +
                                                          "\npassword = " + password + "\n" + more);
  }
  // Makes the folder the working folder until the end.
  cTempDir& enter() {
    if (m_before.empty()) m_before = std::filesystem::current_path();
    std::filesystem::current_path(m_path);
    return *this;
  }
  // Makes the folder the working folder and the host's home and registry until the end.
  cTempDir& home() {
    for (const char* name : {"TESSEL_HOME", "TESSEL_REGISTRY"})
      m_env.push_back(std::make_unique<ScopedEnv>(name, m_path.c_str()));
    return enter();
  }

 private:
  std::filesystem::path m_path;
  std::filesystem::path m_before;
  std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

}  // namespace testkit
