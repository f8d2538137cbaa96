// The machine's calendar clock as the maintenance commands see it: reading it and setting it go
// through replaceable hooks, so tests (and processes that must not touch the machine's clock)
// install their own. Any thread.
#pragma once

#include <ctime>
#include <functional>
#include <string>

// Calendar time in seconds since 1970. Default: time(2).
std::time_t OsCalendarNow();
// Replaces the source of OsCalendarNow; an empty function restores the default.
void SetOsCalendarSource(std::function<std::time_t()> source);

// Sets the machine's calendar clock to `t`. On failure returns false and, when `error` is
// given, writes the reason into it. Default: clock_settime(CLOCK_REALTIME), which needs the
// right to set the time.
using OsCalendarSetter = std::function<bool(std::time_t t, std::string* error)>;
bool OsSetCalendarTime(std::time_t t, std::string* error = nullptr);
// Replaces the setter; an empty function restores the default.
void SetOsCalendarSetter(OsCalendarSetter setter);
