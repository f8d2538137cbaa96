// Folder creation and the clean-up of old files in log folders. Paths may be given with '\'
// separators; they are read as '/'. Any thread.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <string>

namespace platform {

// The path with every '\' turned into '/'.
std::string ToSlashes(std::string path);

// Creates every missing folder of the path, from the outside in. A path that ends in '/' or
// whose last part has no '.' names a folder and is created itself; otherwise its last part is
// a file name and only the folders above it are created. False when a folder cannot be made
// (or a file of that name is in the way); the walk stops there.
bool CreateNestedFolders(const std::string& path);

// Whether `path` (relative to the working folder, or absolute) lies in `root` or below it: its
// real path (symbolic links resolved as far as it exists) lies inside the real path of `root`,
// and no part of it is a symbolic link to nothing (whose target could be made anywhere).
bool LiesInFolder(const std::filesystem::path& root, const std::filesystem::path& path);

// Resolves a name received from outside (a peer, an operator) as a place inside the folder
// `root`: '\' counts as '/'; an empty name, an absolute one (leading '/' or a drive such as
// "d:"), one with a ".." part or one naming only "." is refused. The text alone is not enough:
// the real path (symbolic links resolved as far as the path exists) must lie inside the real
// path of `root` too (LiesInFolder), so a link inside the root cannot lead out of it. On
// success `out` is root / name.
bool ConfineToFolder(const std::filesystem::path& root, const std::string& name,
                     std::filesystem::path& out);

// Whether the file open as `fd` lies inside the real path of `root`, as the system resolved its
// path when it was opened.
bool OpenedInFolder(int fd, const std::filesystem::path& root);
// Opens the regular file `path` with `flags` (O_RDONLY, or O_WRONLY with O_APPEND) when the
// file it reaches lies inside the real path of `root`. The place is judged on the opened file
// itself, so a link swapped in after a check (ConfineToFolder) cannot lead the open outside; a
// pipe or device is never opened. The descriptor (close-on-exec), or -1.
int OpenFileInFolder(const std::filesystem::path& root, const std::filesystem::path& path,
                     int flags);
// The same for the folder `path` itself, opened for the *at() calls. The descriptor, or -1.
int OpenFolderInFolder(const std::filesystem::path& root, const std::filesystem::path& path);
// Opens the folder of `path` (a place under `root`), making the missing ones from `root` down,
// each in the folder opened (and judged to lie in `root`) before it: a link swapped in on the
// way makes no folder outside. The descriptor, or -1.
int MakeFoldersInFolder(const std::filesystem::path& root, const std::filesystem::path& path);
// Opens for appending the file of `path` in the open `folder`: made afresh there (never through
// a link, with the bits of `newMode` the umask allows) when it is missing, else the existing one
// as long as it lies in `root`. The descriptor (close-on-exec), or -1.
int OpenAppendAt(const std::filesystem::path& root, int folder, const std::filesystem::path& path,
                 mode_t newMode = 0666);
// Both steps: the file `path` under `root` opened for appending, its folders made. Or -1.
int OpenAppendInFolder(const std::filesystem::path& root, const std::filesystem::path& path);

// Whole days from a file's last write to now, fraction dropped (negative for a future time).
constexpr long AgeInDays(std::time_t now, std::time_t last_write) {
  return static_cast<long>((now - last_write) / 86400);
}

// Deletes the files of the folder (sub-folders and what they hold are left alone) whose age in
// whole days is greater than `days`. Returns how many were deleted.
int DeleteOldFiles(const std::string& folder, int days);

}  // namespace platform
