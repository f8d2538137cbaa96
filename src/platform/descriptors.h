// Close-on-exec for descriptors that this process opens through libraries which do not ask
// for it (Boost.Asio sockets, standard file streams): a child started later (a shell line, a
// tool) must not hold the process's sockets or log files. Any thread.
#pragma once

#include <fstream>

namespace platform {

// Sets FD_CLOEXEC on `fd` (nothing for a negative one).
void SetCloseOnExec(int fd);
// Sets it on the file an open file buffer writes to or reads from.
void SetCloseOnExec(std::filebuf& buffer);

}  // namespace platform
