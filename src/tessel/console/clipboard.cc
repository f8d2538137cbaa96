#include "tessel/console/clipboard.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>

#include "tessel/console/shell_jobs.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/lua_limits.h"
#include "tessel/util/shell.h"

namespace {

// More text than a command record holds is of no use on a console line.
constexpr std::size_t kMaxClipboardBytes = 1 << 20;
// A paste tool on a live display answers at once; the worker, with every link and timer, waits
// for it, so it gets no more than this even where the shell lines may run longer.
constexpr unsigned kMaxPasteSeconds = 2;

std::mutex g_readerLock;
ClipboardReader g_reader;

// True when an executable of this name is on the PATH.
bool OnPath(const std::string& tool) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string dirs = path;
  std::string::size_type start = 0;
  while (start <= dirs.size()) {
    std::string::size_type end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string file = dirs.substr(start, end - start) + "/" + tool;
    if (end > start && access(file.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Runs a paste tool and takes its standard output as the clipboard text. It runs under the
// shell lines' time limit, and at most kMaxPasteSeconds: a tool that does not answer in time (a
// display that hangs) leaves the clipboard unreached instead of holding the worker.
stClipboard RunPasteTool(const char* command) {
  const int limit = GetConfigValue("shell_time_limit", kDefaultShellLimitSeconds);
  const unsigned seconds =
      limit > 0 ? std::min<unsigned>(limit, kMaxPasteSeconds) : kMaxPasteSeconds;
  const stShellRun run = RunShellLimited(command, kMaxClipboardBytes, seconds * 1000u);
  stClipboard result;
  result.opened = run.status >= 0 && !run.timedOut;
  result.hasText = result.opened && run.status == 0 && !run.out.empty();
  if (result.hasText) result.text = run.out;
  return result;
}

stClipboard ReadDesktopClipboard() {
  if (std::getenv("WAYLAND_DISPLAY") != nullptr && OnPath("wl-paste")) {
    return RunPasteTool("wl-paste -n -t text 2>/dev/null");
  }
  if (std::getenv("DISPLAY") != nullptr && OnPath("xclip")) {
    return RunPasteTool("xclip -o -selection clipboard 2>/dev/null");
  }
  return stClipboard{};
}

}  // namespace

void SetClipboardReader(ClipboardReader reader) {
  std::lock_guard<std::mutex> hold(g_readerLock);
  g_reader = std::move(reader);
}

stClipboard ReadClipboard() {
  ClipboardReader reader;
  {
    std::lock_guard<std::mutex> hold(g_readerLock);
    reader = g_reader;
  }
  return reader ? reader() : ReadDesktopClipboard();
}
