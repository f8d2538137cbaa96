// Plain descriptors: close-on-exec for those this process opens through libraries which do not
// ask for it (Boost.Asio sockets, standard file streams): a child started later (a shell line, a
// tool) must not hold the process's sockets or log files; and writing a whole text. Any thread.
#pragma once

#include <fstream>
#include <string>
#include <string_view>

namespace platform {

// Sets FD_CLOEXEC on `fd` (nothing for a negative one).
void SetCloseOnExec(int fd);
// Sets it on the file an open file buffer writes to or reads from.
void SetCloseOnExec(std::filebuf& buffer);

// Where the file an open file buffer writes to stands against the path it was opened as: still
// there, removed (no name leads to it any more), or moved (the path leads to another file or
// none; log rotation renames a file).
enum class eFileAtPath { kThere, kRemoved, kMoved };
eFileAtPath FileAtPath(std::filebuf& buffer, const std::string& path);
// Whether the file an open file buffer works on has names besides the one it was opened by (hard
// links, which may lie in other folders).
bool HasOtherNames(std::filebuf& buffer);
// Whether a log may go on at `path`: nothing stands there, or a regular file of this user with
// no other name (one that log rotation made; never a link, a device or a pipe).
bool PathTakesALog(const std::string& path);

// Writes all of `data` to `fd`, again after an interrupted call; false on an error, or when a
// write takes nothing (what was written before stays).
bool WriteAll(int fd, std::string_view data);

}  // namespace platform
