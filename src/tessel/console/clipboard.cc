#include "tessel/console/clipboard.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

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

// Runs a paste tool and takes its standard output as the clipboard text.
stClipboard RunPasteTool(const char* command) {
  stClipboard result;
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return result;
  result.opened = true;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.text.append(buffer, got);
  const int status = pclose(pipe);
  result.hasText = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !result.text.empty();
  if (!result.hasText) result.text.clear();
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
