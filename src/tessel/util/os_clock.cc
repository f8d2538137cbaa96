#include "tessel/util/os_clock.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_mutex;

std::function<std::time_t()>& Source() {
  static std::function<std::time_t()> source;
  return source;
}

OsCalendarSetter& Setter() {
  static OsCalendarSetter setter;
  return setter;
}

bool SetMachineClock(std::time_t t, std::string* error) {
  timespec ts{};
  ts.tv_sec = t;
  if (clock_settime(CLOCK_REALTIME, &ts) == 0) return true;
  if (error != nullptr) *error = std::strerror(errno);
  return false;
}

}  // namespace

std::time_t OsCalendarNow() {
  std::function<std::time_t()> source;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    source = Source();
  }
  return source ? source() : std::time(nullptr);
}

void SetOsCalendarSource(std::function<std::time_t()> source) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Source() = std::move(source);
}

bool OsSetCalendarTime(std::time_t t, std::string* error) {
  OsCalendarSetter setter;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    setter = Setter();
  }
  return setter ? setter(t, error) : SetMachineClock(t, error);
}

void SetOsCalendarSetter(OsCalendarSetter setter) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Setter() = std::move(setter);
}
