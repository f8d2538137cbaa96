#include "tessel/host/end_watch.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "tessel/core/config_stores.h"

namespace {

using Clock = std::chrono::steady_clock;

// Never destroyed: the watch must hold while the process's own clean-up runs after main.
struct stWatch {
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;
  bool armed = false;
  int seconds = 0;
  Clock::time_point due;
  std::string step;
};

stWatch& Watch() {
  static auto* watch = new stWatch;
  return *watch;
}

// Standard error may be a pipe nobody reads: the line is written only when it takes it at
// once, so the exit never waits for it.
void Say(const std::string& text) {
  pollfd out{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&out, 1, 1000) == 1 && (out.revents & POLLOUT) != 0)
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

void WatchLoop() {
  stWatch& watch = Watch();
  std::unique_lock lock(watch.lock);
  for (;;) {
    if (!watch.armed) {
      watch.changed.wait(lock);
    } else if (watch.changed.wait_until(lock, watch.due) == std::cv_status::timeout &&
               watch.armed && Clock::now() >= watch.due) {
      Say("cTessel end time limit of " + std::to_string(watch.seconds) +
          " s reached (end_time_limit in config/config_int.ini), still held at: " + watch.step +
          "\n");
      std::_Exit(cEndWatch::kExitEndHeld);
    }
  }
}

}  // namespace

int cEndWatch::LimitSeconds() {
  const int seconds = GetConfigValue("end_time_limit", kDefaultLimitSeconds);
  return seconds < 0 ? kDefaultLimitSeconds : seconds;
}

void cEndWatch::Arm(int seconds, const std::string& step) {
  stWatch& watch = Watch();
  std::lock_guard guard(watch.lock);
  watch.step = step;
  watch.armed = seconds > 0;
  watch.seconds = seconds;
  watch.due = Clock::now() + std::chrono::seconds(seconds);
  if (watch.armed && !watch.started) {
    try {
      std::thread(WatchLoop).detach();
      watch.started = true;
    } catch (const std::system_error&) {
      watch.armed = false;
    }
  }
  watch.changed.notify_all();
}

void cEndWatch::Step(const std::string& step) {
  stWatch& watch = Watch();
  std::lock_guard guard(watch.lock);
  watch.step = step;
}

void cEndWatch::Disarm() {
  stWatch& watch = Watch();
  std::lock_guard guard(watch.lock);
  watch.armed = false;
  watch.changed.notify_all();
}
