#include "tessel_server/self_restart.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tessel_server/launch_params.h"

extern char** environ;

namespace {

// The descriptors above 2 the process has open, the one that lists them excepted, with what each
// names ("pipe:[123]", a path): a number the launch passed on and the run reused names another.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> open;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return open;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (fd > 2 && fd != own) open[fd] = std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
  }
  ::closedir(dir);
  return open;
}

}  // namespace

cSelfRestart::cSelfRestart(int argc, char** argv)
    : m_args(argv, argv + argc), m_inherited(OpenDescriptors()) {
  if (const char* password = std::getenv(cLaunchParams::kPasswordVariable)) m_password = password;
  m_bTerminal = ::isatty(0) != 0 && ::tcgetattr(0, &m_terminal) == 0;
}

// Links, log files, the trail's lock and whatever else the run opened would otherwise pass to
// the new image, which opens its own: a listening socket kept open there would hold the port,
// a second hold of the trail's lock would shut the new trail out.
void cSelfRestart::CloseOwnDescriptorsOnExec() const {
  for (const auto& [fd, target] : OpenDescriptors()) {
    const auto inherited = m_inherited.find(fd);
    if (inherited == m_inherited.end() || inherited->second != target)
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

void cSelfRestart::Exec(std::string& why) const {
  CloseOwnDescriptorsOnExec();
  if (m_bTerminal) ::tcsetattr(0, TCSANOW, &m_terminal);
  std::vector<char*> args;
  for (const std::string& arg : m_args) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The run took the password variable out of its environment; the new start reads it again.
  const std::string password = std::string(cLaunchParams::kPasswordVariable) + "=" + m_password;
  std::vector<char*> env;
  for (char** var = environ; *var != nullptr; ++var) env.push_back(*var);
  if (!m_password.empty()) env.push_back(const_cast<char*>(password.c_str()));
  env.push_back(nullptr);
  // The console signals stay blocked: a stop asked for meanwhile waits for the new start,
  // which blocks them as well and ends in order on it.
  ::execve("/proc/self/exe", args.data(), env.data());
  why = std::strerror(errno);
}
