// Temporary files of whole-file saves whose process was killed while it wrote (a SIGKILL between
// making the temporary file and renaming it): swept from a folder the first time this process
// saves into it. Any thread.
#pragma once

#include <string>

namespace platform {

// Removes, from the folder that holds `name` (relative to the open folder `folder`, or
// AT_FDCWD), the regular files named as a save names its temporary file, NAME.tmpPID-N beside a
// NAME of the folder or .tmpPID-N alone, when process PID no longer runs and the file is over a
// minute old. Once per folder in a process's life; each removal is said on standard error.
void SweepLeftTemporaries(int folder, const std::string& name);

}  // namespace platform
