// Local-time formatting for file names and log lines. Any thread (uses localtime_r).
#pragma once

#include <ctime>
#include <string>

namespace platform {

// File names of logs started at a time: "2026_03_07-09.05.02".
inline constexpr const char* kFileTimeFormat = "%Y_%m_%d-%H.%M.%S";
// Prefix of a line inside a log file: "03_07 09:05:02 " (with the trailing blank).
inline constexpr const char* kLineTimeFormat = "%m_%d %H:%M:%S ";

// The given time in local time, formatted with strftime's format.
std::string FormatLocalTime(const char* format, std::time_t t);
// The current local time, formatted.
std::string LocalTimeNow(const char* format);

}  // namespace platform
