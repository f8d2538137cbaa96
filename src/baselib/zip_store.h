// Script archives: ZIP files whose entries are stored uncompressed, written from a folder and
// read back whole. Reading checks every offset, size and checksum, and that no two entries
// share bytes. Any thread.
#pragma once

#include <map>
#include <string>

namespace baselib {

// Writes every regular file under `folder` (sub-folders included, names relative to it with
// '/') into the archive `zip`, replacing it. False (and `error` set) when that fails, when a
// link leads out of the folder, or when the archive would outgrow what ZipRead takes (64 MiB).
bool ZipWrite(const std::string& folder, const std::string& zip, std::string* error);
// Reads every entry of `zip` into `entries` (name -> contents). Only stored entries are
// accepted. False (and `error` set) for a missing, damaged or unsupported archive, or one with
// two entries of one name.
bool ZipRead(const std::string& zip, std::map<std::string, std::string>& entries,
             std::string* error);

}  // namespace baselib
