#include "tessel/host/console_signals.h"

#include <pthread.h>
#include <signal.h>

#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::mutex g_mutex;
cConsoleSignals::Handler g_handler;
bool g_started = false;

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  return set;
}

void SignalLoop() {
  const sigset_t set = ConsoleSignals();
  for (;;) {
    int signo = 0;
    if (sigwait(&set, &signo) != 0) continue;
    cConsoleSignals::Handler handler;
    {
      std::lock_guard lock(g_mutex);
      handler = g_handler;
    }
    if (handler) handler(signo);
  }
}

}  // namespace

void cConsoleSignals::ClearHandler() {
  std::lock_guard lock(g_mutex);
  g_handler = nullptr;
}

void cConsoleSignals::Block() {
  const sigset_t set = ConsoleSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool cConsoleSignals::Start(Handler handler) {
  std::lock_guard lock(g_mutex);
  g_handler = std::move(handler);
  if (g_started) return true;
  Block();
  try {
    // The thread waits for the process's whole life.
    std::thread(SignalLoop).detach();
  } catch (const std::system_error&) {
    return false;
  }
  g_started = true;
  return true;
}
