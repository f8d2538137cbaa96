// A temporary folder under /tmp for one test, removed with everything in it at the end; it can
// also be the working directory while the test runs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testing_support {

class scratch_dir {
 public:
  scratch_dir() {
    char tmpl[] = "/tmp/tessel_test_XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~scratch_dir() {
    if (!old_cwd_.empty()) std::filesystem::current_path(old_cwd_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string operator/(const std::string& name) const { return file(name); }
  // Writes a file (folders created as needed).
  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << text;
  }
  // Makes the folder the working directory until the end of the test.
  void enter() {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }

 private:
  std::filesystem::path path_;
  std::filesystem::path old_cwd_;
};

inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testing_support
