#include "tessel/console/groups/maintain_transfer.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include "platform/text_clean.h"
#include "tessel/console/groups/cmd_maintain.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"

namespace fs = std::filesystem;

namespace {

// The most one file that writefileindex writes may hold, in MiB, unless the configuration value
// "writefileindex_max_mbytes" says otherwise (0: no bound): appends from a peer with @files
// must not fill the disk.
constexpr int kDefaultMaxMiB = 1024;

// Sends `contents` back to the requester as a writefileindex command; false (after writing why)
// when it does not fit one command record or could not be sent.
bool SendFileText(std::string_view file, int index, const std::string& contents, std::ostream& os) {
  const std::string cmd = MakeWriteFileIndexCmd(std::string(file), index, contents);
  if (cmd.size() > stMsg_Cmd::kMaxTextLength) {
    os << " size " << contents.size() << " overflow\n";
    return false;
  }
  if (get_gout().SendBackCmd(cCmdMaintain::kLevel, cmd.c_str()) > 0) return true;
  os << "file " << file << " send failed\n";
  return false;
}

// Resolves a peer's file name under the servers root; writes the refusal or absence.
bool FindServersFile(std::string_view file, fs::path& path, std::ostream& os) {
  std::error_code ec;
  if (!ConfinePath(MaintainServersRoot(), file, path)) {
    os << "file " << EscapeControls(file) << " refused \n";
    return false;
  }
  if (!fs::is_regular_file(path, ec)) {
    os << "file " << file << " not find \n";
    return false;
  }
  return true;
}

}  // namespace

// Writes text that a peer sent to a file under the servers root. The transfer escapes "[[" and
// "]]"; a trailing true argument, which earlier builds sent, says the text travels unescaped.
void MaintainWriteFileIndex(lua_State* L, std::string_view file, int index, std::string text) {
  TESSEL_ASSERT_WORKER();
  const bool raw = lua_isnumber(L, 4) ? lua_tonumber(L, 4) != 0 : lua_toboolean(L, 4) != 0;
  std::cout << "writefileindex"
            << " file " << EscapeControls(file) << " index " << index << std::endl;
  fs::path target;
  // A name that ends in a folder ("dir/", "dir/.") names no file: refused before its folders
  // are made, which would leave them behind a failure.
  const bool isFile = ConfinePath(MaintainServersRoot(), file, target) &&
                      !target.filename().empty() && target.filename() != ".";
  if (!isFile) {
    std::cout << "writefileindex refused file " << EscapeControls(file) << std::endl;
    get_gout() << "writefileindex refused file " << EscapeControls(file) << "\n";
    return;
  }
  const int mib = GetConfigValue("writefileindex_max_mbytes", kDefaultMaxMiB);
  const std::uintmax_t bound =
      mib > 0 ? std::uintmax_t{static_cast<unsigned>(mib)} << 20 : UINTMAX_MAX;
  const eFileIndexWrite done = WriteFileIndexTo(MaintainServersRoot(), target, index,
                                                raw ? text : UnescapeTransferText(text), bound);
  if (done == eFileIndexWrite::kWritten) return;
  std::ostringstream line;
  line << "writefileindex " << (done == eFileIndexWrite::kOverBound ? "refused" : "failed")
       << " file " << EscapeControls(file);
  if (done == eFileIndexWrite::kOverBound) line << ": over " << mib << " MiB";
  // The requester of a download is this process's operator, while the command came from the
  // peer that serves it: the failure is said on both sides.
  if (!get_gout().IsLocalCmd()) std::cout << line.str() << std::endl;
  get_gout() << line.str() << "\n";
}

void MaintainDownloadFile(std::string_view file) {
  TESSEL_ASSERT_WORKER();
  std::ostream& os = MaintainAnswer("func_downloadfile");
  fs::path path;
  if (!FindServersFile(file, path, os)) return;
  // Read as far as one byte past what a transfer takes, from the one file opened: a file that
  // grows meanwhile still gets the overflow line.
  std::string contents;
  std::uintmax_t size = 0;
  if (!ReadFileBytes(MaintainServersRoot(), path, 0, stMsg_Cmd::kMaxTextLength + 1, contents,
                     size)) {
    os << "file " << file << " not find \n";
    return;
  }
  if (contents.size() > stMsg_Cmd::kMaxTextLength) {
    os << " size " << std::max<std::uintmax_t>(size, contents.size()) << " overflow\n";
    return;
  }
  size = contents.size();
  if (SendFileText(file, 0, contents, os)) os << "file " << file << " size " << size << "\n";
}

// Sends part `part` (from 0) of a file; the requester writes part 0 over its copy and appends
// the others, so asking for the parts in order rebuilds the file.
void MaintainDownloadFilePart(std::string_view file, unsigned part) {
  TESSEL_ASSERT_WORKER();
  std::ostream& os = MaintainAnswer("func_downloadfilepart");
  fs::path path;
  if (!FindServersFile(file, path, os)) return;
  std::string contents;
  std::uintmax_t size = 0;
  if (!ReadFileBytes(MaintainServersRoot(), path, std::uintmax_t{part} * cCmdMaintain::kPartBytes,
                     cCmdMaintain::kPartBytes, contents, size)) {
    os << " not find \n";
    return;
  }
  const std::uintmax_t parts = (size + cCmdMaintain::kPartBytes - 1) / cCmdMaintain::kPartBytes;
  if (part >= std::max<std::uintmax_t>(parts, 1)) {
    os << " part " << part << " of " << parts << " overflow\n";
    return;
  }
  if (SendFileText(file, static_cast<int>(part), contents, os))
    os << "file " << file << " part " << part << " of " << parts << "\n";
}

// Sends the "*.log" files of a folder under the servers root written in the last `hours`
// hours, each as by downloadfile.
void MaintainDownloadPathTime(unsigned hours, std::string_view folder) {
  TESSEL_ASSERT_WORKER();
  std::ostream& os = MaintainAnswer("func_downloadpathtime");
  fs::path dir;
  std::error_code ec;
  if (!ConfinePath(MaintainServersRoot(), folder, dir) || !fs::is_directory(dir, ec)) {
    os << "path " << EscapeControls(folder) << " not find \n";
    return;
  }
  // Hours reaching back past the clock's earliest time take every file.
  const auto now = fs::file_time_type::clock::now();
  const auto reach =
      std::chrono::duration_cast<std::chrono::hours>(now - fs::file_time_type::min());
  const auto since = std::chrono::hours(hours) >= reach ? fs::file_time_type::min()
                                                        : now - std::chrono::hours(hours);
  // Past the most that are sent, the names are only counted: a folder of a million logs holds
  // no million names in memory. A folder that cannot be read to its end sends none of them: a
  // part of the list would come back as if it were the whole.
  std::vector<std::string> names;
  std::uintmax_t count = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileEc;
    if (!it->is_regular_file(fileEc) || it->path().extension() != ".log") continue;
    if (it->last_write_time(fileEc) < since || fileEc) continue;
    if (++count <= cCmdMaintain::kMaxPathFiles)
      names.push_back(fs::path(folder).append(it->path().filename().string()).generic_string());
  }
  if (ec) {
    os << "path " << EscapeControls(folder) << " can not be read: " << ec.message() << " \n";
    return;
  }
  if (count > cCmdMaintain::kMaxPathFiles) {
    os << "time " << hours << " count " << count << " overflow \n";
    return;
  }
  os << "\n";
  for (const std::string& name : names) MaintainDownloadFile(name);
}
