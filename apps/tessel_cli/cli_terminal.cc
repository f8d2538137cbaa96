#include "tessel_cli/cli_terminal.h"

#include <unistd.h>

#include <csignal>
#include <iterator>

namespace {

constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Set before the handlers and read by them only.
volatile std::sig_atomic_t g_fd = -1;
termios g_modes{};
// The signals' actions before the hold, given back by the release.
void (*g_before[std::size(kSignals)])(int) = {};
bool g_held = false;

void EndOnSignal(int signo) {
  if (g_fd >= 0) ::tcsetattr(g_fd, TCSANOW, &g_modes);
  ::_exit(128 + signo);
}

}  // namespace

void HoldTerminalModes(int fd, const termios& modes) {
  g_fd = -1;
  g_modes = modes;
  g_fd = fd;
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    void (*before)(int) = std::signal(kSignals[i], EndOnSignal);
    if (!g_held) g_before[i] = before;
    // A signal the program was started to ignore stays ignored.
    if (g_before[i] == SIG_IGN) std::signal(kSignals[i], SIG_IGN);
  }
  g_held = true;
}

void ReleaseTerminalModes() {
  if (!g_held) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) std::signal(kSignals[i], g_before[i]);
  g_held = false;
  g_fd = -1;
}
