// The running executable's path and the process's working folder ($TESSEL_HOME or the
// executable's folder). Any thread may call the queries; EnterHome runs once at start.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable (from /proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();
// The executable's file name without its folder; "Unknown" when the path cannot be read.
std::string ExecutableFile();
// The folder that holds the executable; empty when the path cannot be read.
std::string ExecutableFolder();

// The folder the process works in: $TESSEL_HOME when set and not empty, else the executable's
// folder.
std::string HomeFolder();
// Makes HomeFolder() the working directory, creating it when missing. False (and the working
// directory unchanged) when that fails. First the umask gains the bit of others' write.
bool EnterHome();

}  // namespace platform
