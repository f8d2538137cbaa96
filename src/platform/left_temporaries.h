// Temporary files of whole-file saves and crash records whose process was killed while it wrote (a
// SIGKILL between making the temporary file and renaming it): swept from a folder the first time
// this process saves into it. Any thread.
#pragma once

#include <string>

namespace platform {

// Removes, from the folder that holds `name` (relative to the open folder `folder`, or
// AT_FDCWD), the regular files named as a writer names its temporary file, NAME.tmpPID-N (a
// whole-file save's, NAME there or not, or .tmpPID-N alone) or NAME.crash.tmpPID (a crash
// record's), when process PID no longer runs and the file is over a minute old. Once per folder
// in a process's life; each removal is said on standard error.
void SweepLeftTemporaries(int folder, const std::string& name);

}  // namespace platform
