// Whole-file replacement that a crash cannot leave half written. Any thread may call it.
#pragma once

#include <string>

namespace platform {

// Writes data to a temporary file beside path, syncs it and renames it over path, so path holds
// either its old content or all of data. False (path untouched, no temporary left) on failure.
bool WriteFileAtomically(const std::string& path, const std::string& data);

}  // namespace platform
