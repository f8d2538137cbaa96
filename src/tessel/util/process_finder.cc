#include "tessel/util/process_finder.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr auto kCloseWait = std::chrono::milliseconds(5000);
constexpr auto kPollStep = std::chrono::milliseconds(20);

std::mutex g_senderMutex;
SignalSender& Sender() {
  static SignalSender sender = [](pid_t pid, int sig) { return ::kill(pid, sig); };
  return sender;
}

int SendSignal(pid_t pid, int sig) {
  std::lock_guard<std::mutex> lock(g_senderMutex);
  return Sender()(pid, sig);
}

std::string ProgramName(const fs::path& procDir) {
  std::error_code ec;
  fs::path exe = fs::read_symlink(procDir / "exe", ec);
  if (!ec) {
    std::string text = exe.string();
    // A program file replaced or deleted while running reads as "<path> (deleted)".
    const std::string deleted = " (deleted)";
    if (text.size() > deleted.size() && text.ends_with(deleted))
      text.resize(text.size() - deleted.size());
    return fs::path(text).filename().string();
  }
  std::ifstream comm(procDir / "comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Whether the process has ended: gone from /proc, or a zombie waiting for its parent.
bool HasEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return true;
  char state = line[close + 2];
  return state == 'Z' || state == 'X';
}

bool WaitForEnd(pid_t pid, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (HasEnded(pid)) return true;
    std::this_thread::sleep_for(kPollStep);
  }
  return HasEnded(pid);
}

}  // namespace

std::vector<pid_t> ListProcessesByName(const char* name) {
  std::vector<pid_t> found;
  if (name == nullptr || *name == '\0') return found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string dir = entry.path().filename().string();
    if (dir.empty() || !std::all_of(dir.begin(), dir.end(), ::isdigit)) continue;
    if (strcasecmp(ProgramName(entry.path()).c_str(), name) != 0) continue;
    // A process that has ended but is not yet reaped by its parent no longer runs.
    const auto pid = static_cast<pid_t>(std::stol(dir));
    if (!HasEnded(pid)) found.push_back(pid);
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool FindProcessByName(const char* name) {
  return !ListProcessesByName(name).empty();
}

bool KillProcessByName(const char* name) {
  std::vector<pid_t> found = ListProcessesByName(name);
  if (found.empty()) return false;
  pid_t pid = found.front();
  if (SendSignal(pid, SIGTERM) != 0) return HasEnded(pid);
  if (WaitForEnd(pid, kCloseWait)) return true;
  return SendSignal(pid, SIGKILL) == 0;
}

void SetProcessSignalSender(SignalSender sender) {
  std::lock_guard<std::mutex> lock(g_senderMutex);
  Sender() = sender ? std::move(sender) : [](pid_t pid, int sig) { return ::kill(pid, sig); };
}
