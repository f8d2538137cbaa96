// Reads a whole file of the home (settings, accounts, scripts) without ever waiting on it and
// within a bound of bytes: a pipe, a device or a file of gigabytes in its place is refused with
// a reason naming it; reads the first line of a key or password file, a pipe waited for within
// a bound. Any thread may call them.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum class eHomeFile { kRead, kMissing, kRefused };

// The file's bytes into `text` (cleared first). kMissing when no such file exists (its `why`
// says so too); kRefused when it is no regular file, holds more than `maxBytes` or cannot be
// read, `why` then naming the path and the cause. With `within` given, a file that, as opened,
// lies outside that folder is refused too (a link swapped in after the caller checked the path).
eHomeFile ReadHomeFile(const std::string& path, std::size_t maxBytes, std::string& text,
                       std::string* why = nullptr, const std::string& within = {});

// The first line of the file at `path` into `line`, without its end: at most `maxBytes` are
// read (a longer line comes back cut there), and a pipe is waited for `waitMs` at most, so a
// FIFO without a writer or a device in its place fails, never holds. False when the file is no
// regular file or pipe, cannot be read or is empty, `why` (if given) then saying so.
bool ReadFirstLine(const std::string& path, std::size_t maxBytes, int waitMs, std::string& line,
                   std::string* why = nullptr);

// The bounds of the readers: a settings, account, alias or key file; a script, batch file or
// archive; a value store's file, which holds what the program and commands stored (commands
// alone may store 10000 texts of 64 KiB): refused, its values would be lost at the next save.
inline constexpr std::size_t kSettingsFileBytes = 1 << 20;
inline constexpr std::size_t kScriptFileBytes = 64 << 20;
inline constexpr std::size_t kValueFileBytes = std::size_t(1) << 30;

}  // namespace platform
