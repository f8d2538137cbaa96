// A temporary folder under /tmp for one test, removed with everything in it at the end; it can
// also be the working directory while the test runs.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/tessel_baselib_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    if (!oldCwd_.empty()) std::filesystem::current_path(oldCwd_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  // Writes a file (folders created as needed).
  void Write(const std::string& rel, const std::string& text) const {
    const std::filesystem::path p = path_ + "/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
  }
  // Makes the folder the working directory until the end of the test.
  void Enter() {
    oldCwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
  }

 private:
  std::string path_;
  std::string oldCwd_;
};
