// Plain descriptors: close-on-exec for those this process opens through libraries which do not
// ask for it (Boost.Asio sockets, standard file streams): a child started later (a shell line, a
// tool) must not hold the process's sockets or log files; and writing a whole text. Any thread.
#pragma once

#include <fstream>
#include <string_view>

namespace platform {

// Sets FD_CLOEXEC on `fd` (nothing for a negative one).
void SetCloseOnExec(int fd);
// Sets it on the file an open file buffer writes to or reads from.
void SetCloseOnExec(std::filebuf& buffer);

// Whether the file an open file buffer writes to was removed (no name leads to it any more).
bool FileRemoved(std::filebuf& buffer);

// Writes all of `data` to `fd`, again after an interrupted call; false on an error, or when a
// write takes nothing (what was written before stays).
bool WriteAll(int fd, std::string_view data);

}  // namespace platform
