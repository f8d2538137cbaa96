// The file side of the maintenance commands: the three maintenance roots, confinement of the
// file names that peers send, log cleaning, and the command text that carries a file's contents
// to a peer (writefileindex). Free functions; the commands run them on the worker thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

// The folders the maintenance commands work in, from the configuration strings
// "maintain_servers", "maintain_temp" and "maintain_www" (defaults "servers/", "temp/",
// "www/servers/wvclient/", relative to the working folder); a launch parameter of the same
// name comes before the configuration string. They are set at start: a command never moves
// them (see IsMaintainRootKey).
std::filesystem::path MaintainServersRoot();
std::filesystem::path MaintainTempRoot();
std::filesystem::path MaintainWwwRoot();
// Whether `key` is one of the three roots' names, which the config commands refuse to set.
bool IsMaintainRootKey(const char* key);

// Resolves a file name received from a peer inside `root`: '\' counts as '/', and an empty
// name, an absolute name (leading '/' or '\', or a drive such as "d:"), any ".." part, a name
// holding a NUL, a line end or another control byte (no file of the site is named so, and such a
// name shown on a terminal drives it) and a name whose real path leaves the real root (through a
// symbolic link) are refused (false). On success `out` is root / name.
bool ConfinePath(const std::filesystem::path& root, std::string_view name,
                 std::filesystem::path& out);
// For a function that takes the name of a file to read or write from its caller (a batch to
// run, a log file): a file outside the maintenance roots (or, for a log file, the log folder)
// is none of the maintenance files that @files grants, and needs @shell, the right to reach
// every file of the machine; without it the call is refused as RequireCmdRight refuses. `path`
// is as the function opens it, relative to the working folder or absolute. Returns the root the
// file lies in (empty outside them), which its read must still hold to; RequireShellOutside
// whether the file lies in `root` (and must still when it is opened).
std::filesystem::path RequireShellOutsideRoots(std::string_view func, const std::string& path);
bool RequireShellOutside(std::string_view func, const std::filesystem::path& root,
                         const std::string& path);

// Whether `kind` may name one folder or program of the site: letters, digits, '_', '-' and
// '.' only, not empty and not "." or "..".
bool IsPlainName(const std::string& kind);

// Deletes every "*.log" regular file under `root` (sub-folders included, symbolic links left
// alone) for which `expired(path, size, last write)` holds, writing "delete file " + path and an
// end of line to `console` for each. A folder that cannot be read is passed over and said on
// `answer` ("can not read FOLDER: REASON" and an end of line); the others are cleaned all the
// same. Returns how many folders could not be read.
using LogFilter = std::function<bool(std::uintmax_t size, std::time_t lastWrite)>;
int CleanLogs(const std::filesystem::path& root, const LogFilter& expired, std::ostream& console,
              std::ostream& answer);

// The escapes of the transfer, in which "[[" travels as "$[$[" and "]]" as "$]$]", and their
// undoing.
std::string EscapeTransferText(std::string_view text);
std::string UnescapeTransferText(std::string_view text);

// The command that makes the receiver write `contents` to `file` under its servers root:
// writefileindex('file',index,<escaped contents>), the contents in a Lua long bracket of a level
// that they cannot close, or as a quoted literal with escapes when they hold carriage returns or
// NUL bytes, which a long bracket would not keep. Contents that hold "$[$[" or "$]$]"
// themselves are cut inside those texts into several such calls in the one command, the later
// ones appending, since the receiver would read either text as an escape.
std::string MakeWriteFileIndexCmd(const std::string& file, int index, std::string_view contents);

// How WriteFileIndexTo ended.
enum class eFileIndexWrite { kWritten, kFailed, kOverBound };

// Writes `text` to `path`, creating its folders; index 0 replaces the file, any other value
// appends (to a copy of its own in its place when the file has other names, hard links that may
// lie outside `root`); a new file that holds secrets (named "*.ini", "*.key" or holding "password")
// is made 0600. kFailed when the folders or the file cannot be written, or the folder or file
// reached lies outside `root` (a link swapped in after the name was confined); kOverBound when the
// file would hold more than `maxBytes`. The file is then as it was (nothing half written is left to
// look whole).
eFileIndexWrite WriteFileIndexTo(const std::filesystem::path& root,
                                 const std::filesystem::path& path, int index,
                                 std::string_view text, std::uintmax_t maxBytes);

// Reads up to `maxBytes` bytes of the regular file `path` from `offset`, and its whole size
// into `size`. False when it cannot be read or the file reached lies outside `root`.
bool ReadFileBytes(const std::filesystem::path& root, const std::filesystem::path& path,
                   std::uintmax_t offset, std::uintmax_t maxBytes, std::string& out,
                   std::uintmax_t& size);
