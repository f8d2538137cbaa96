#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace platform {

std::string ExecutablePath() {
  std::error_code ec;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec) return {};
  // A replaced or removed executable still runs; the link then carries this mark.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.ends_with(deleted))
    path.resize(path.size() - deleted.size());
  return path;
}

std::string ExecutableFile() {
  std::string path = ExecutablePath();
  if (path.empty()) return "Unknown";
  return std::filesystem::path(path).filename().string();
}

std::string ExecutableFolder() {
  std::string path = ExecutablePath();
  if (path.empty()) return {};
  return std::filesystem::path(path).parent_path().string();
}

std::string HomeFolder() {
  const char* home = std::getenv("TESSEL_HOME");
  if (home && *home) return home;
  return ExecutableFolder();
}

bool EnterHome() {
  // Whatever umask the process was started with (000 in some service set-ups), no file or
  // folder it makes (logs, trails, recordings, values, transfers) is writable by every local
  // user, who could otherwise forge log lines or swap the audit key's folder.
  ::umask(::umask(0) | S_IWOTH);
  std::string home = HomeFolder();
  if (home.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(home, ec);
  return ::chdir(home.c_str()) == 0;
}

}  // namespace platform
