// Whole-file replacement that a crash cannot leave half written. Any thread may call it.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// Writes data to a temporary file beside path, syncs it and renames it over path, so path holds
// either its old content or all of data. False (path untouched, no temporary left) on failure.
// A file that replaces a regular file keeps that file's permission bits; a new one gets those
// of `newMode` the umask allows (0600 for a file that holds a secret). The folder is synced after
// the rename (a sync that fails is a false too, the new content in place). A link at path is
// written through when it leads to a regular file of this user (the link stays); any other link is
// refused with a line on standard error.
bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t newMode = 0644);
// The same for the file `name` of the open folder `folder` (an *at() descriptor, or AT_FDCWD):
// the folder stays the one opened, whatever is put in its place meanwhile. A link at `name` is
// replaced, never written through, by a new file of `newMode` (never the mode it leads to).
bool WriteFileAtomicallyAt(int folder, const std::string& name, const std::string& data,
                           mode_t newMode = 0644);
// Copies the regular file open as `source` (from its start, as long as it was when the copy
// began) to the file `name` of the open folder in the same way: `name` holds its old content or
// the whole copy, never a part (a full disk, a failed read), and takes the source's permission
// bits. A link at `name` is replaced, never written through, and a program running from the old
// file keeps its own.
bool CopyFileAtomicallyAt(int source, int folder, const std::string& name);
// Syncs the folder that holds `name` (relative to the open folder `folder`, or AT_FDCWD), so that
// a file just named there keeps its name through a power loss. False when the sync failed.
bool SyncFolderOf(int folder, const std::string& name);

}  // namespace platform
