// Plain descriptors: close-on-exec for those this process opens through libraries which do not
// ask for it (Boost.Asio sockets): a child started later (a shell line, a tool) must not hold
// the process's sockets or log files; a file buffer over a descriptor; writing a whole text. Any
// thread.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Sets FD_CLOEXEC on `fd` (nothing for a negative one).
void SetCloseOnExec(int fd);

// A file buffer over the open descriptor `fd` for `mode` (out, out | app): it writes there and
// closes it when closed or destroyed. Null when none can be made (the descriptor is closed).
std::unique_ptr<std::filebuf> FileBufferOver(int fd, std::ios::openmode mode);

// Where the file an open file buffer writes to stands against the path it was opened as: still
// there, removed (no name leads to it any more), or moved (the path leads to another file or
// none; log rotation renames a file).
enum class eFileAtPath { kThere, kRemoved, kMoved };
eFileAtPath FileAtPath(std::filebuf& buffer, const std::string& path);
// Whether the file `st` describes is a regular file with names besides the one it was reached by
// (hard links, which may lie in other folders).
bool HasOtherNames(const struct stat& st);
// Whether a log may go on in the file `st` describes: a regular file of this user with no other
// name (one that log rotation made; never a link, a device or a pipe).
bool TakesALog(const struct stat& st);
// Whether a log may go on at `path`: nothing stands there, or a file that TakesALog.
bool PathTakesALog(const std::string& path);

// What stands at a log's name that the log must not open: a regular file with other names (a
// hard link, which may lie outside the log folder; the log would cut it and write into it), or a
// symbolic link that leads to a regular file or to nothing (the log would write, cut or make a
// file where it leads). Links to anything else (/dev/null) are no such thing.
enum class eForeignFile { kNone, kOtherNames, kSymlink };
eForeignFile ForeignFileAt(const std::string& path);
// Takes the name `path` from such a file (its other names, or what the link leads to, keep it as
// it was), so that the log makes a new file there; gives what stood there. `taken` says whether
// the name was taken (errno says why not).
eForeignFile TakeNameFromForeignFile(const std::string& path, bool& taken);
// What a log's line says of such a file after its name: "has other names (a hard link, which may
// lie outside the log folder)", or that it is a symbolic link.
const char* ForeignFileWords(eForeignFile what);
// What the line says becomes of it once its name was taken: "they keep it as it was", or the
// like for a link.
const char* ForeignFileKept(eForeignFile what);

// Writes all of `data` to `fd`, again after an interrupted call; false on an error, or when a
// write takes nothing (what was written before stays).
bool WriteAll(int fd, std::string_view data);

}  // namespace platform
