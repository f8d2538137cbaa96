#include "tessel/console/groups/maintain_site.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/link/ini_file.h"
#include "tessel/util/process_finder.h"
#include "tessel/util/shell.h"
#include "tessel/util/text_file_util.h"

namespace fs = std::filesystem;

namespace {

const char* const kFtpTool = "../myftp";
const char* const kZipTool = "../zip";
const char* const kFtpSettings = "../ftpserver.ini";
const char* const kServerList = "serverconfig.ini";
const char* const kServerListFallback = "../servercofig.ini";
const char* const kCopyOrder[] = {"game", "log",    "region", "select", "account",
                                  "card", "center", "char",   "chat",   "global"};
const char* const kMapParams[] = {"\"map = hn account = map_hn\"", "\"map = db account = map_db\"",
                                  "\"map = xb account = map_xb\""};

struct stPackage {
  const char* zip;
  const char* folder;  // under the temp root
};

// A path as the answers show it: a package's names are the packer's text, and their controls
// would forge lines of the answer and of the console.
std::string Shown(const fs::path& path) {
  return EscapeControls(path.string());
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Runs one step of the site: reports a missing program, then runs the line, held to the time
// limit of shell lines (an unreachable site must not hold the job for ever); true when it ran
// and ended with status 0. What the tool writes is kept for the console.
bool RunTool(const fs::path& program, const std::string& args, std::ostream& os,
             stSiteTools& tools) {
  if (!Exists(program)) {
    os << "not find " << Shown(program) << "\n";
    return false;
  }
  const unsigned seconds = cShellJobs::LimitSeconds();
  const stShellRun run = RunShellLimited(ShellQuote(program.string()) + args,
                                         cShellJobs::kMaxOutput, seconds * 1000, tools.stop);
  tools.console += run.out;
  if (run.timedOut) {
    os << Shown(program) << " timed out after " << seconds << " s\n";
    return false;
  }
  if (run.status != 0) {
    os << Shown(program) << " failed result " << run.status
       << (run.error.empty() ? "" : " (" + run.error + ")") << "\n";
    return false;
  }
  return true;
}

// Runs a tool that makes the package `zip` of the temp root, afresh: an older package there is
// removed first ("a" adds to an archive that is there, so files since removed from the root or
// a downloaded package's files travelled again), and what a tool that failed or was ended left
// is removed too, so a package found there was made whole. True when the tool succeeded.
bool RunToolInto(const fs::path& zip, const fs::path& program, const std::string& args,
                 std::ostream& os, stSiteTools& tools) {
  std::error_code ec;
  fs::remove(zip, ec);
  if (ec) {
    os << "can not remove " << Shown(zip) << " " << ec.message() << "\n";
    return false;
  }
  if (RunTool(program, args, os, tools)) return true;
  if (fs::remove(zip, ec)) os << Shown(zip) << " removed: it was not made whole\n";
  return false;
}

std::string FtpArgs(std::ostream& os, bool& ok) {
  cIniFile ini;
  ok = false;
  if (!ini.Load(kFtpSettings)) {
    os << "not find " << kFtpSettings << "\n";
    return {};
  }
  std::string args;
  for (const char* key : {"ip", "port", "user", "password"}) {
    std::string value;
    if (!ini.GetString(key, value)) {
      os << kFtpSettings << " not find " << key << "\n";
      return {};
    }
    args += " " + ShellQuote(value);
  }
  ok = true;
  return args;
}

// Deepest folder under a root that MakeWritable reaches.
constexpr int kMaxWritableDepth = 64;

// Adds the owner's write bit to every file and folder of the open folder `folder` (which it
// closes) and below, each judged and changed as it stands in the folder opened before it, never
// through a link: a folder traded for a link meanwhile leads no change out of the root.
void AddOwnerWriteIn(int folder, int depth) {
  DIR* dir = ::fdopendir(folder);
  if (dir == nullptr) {
    ::close(folder);
    return;
  }
  const int fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    struct stat st {};
    if (name == "." || name == ".." || ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    // A file with other names (a hard link to a file outside the root) keeps its bits: they are
    // the outside file's too, and copy replaces the name whatever they are.
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) continue;
    if ((st.st_mode & S_IWUSR) == 0)
      ::fchmodat(fd, entry->d_name, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
    if (!S_ISDIR(st.st_mode) || depth <= 0) continue;
    const int sub = ::openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) AddOwnerWriteIn(sub, depth - 1);
  }
  ::closedir(dir);
}

// Clears the read-only state of what the root holds, so that copy can put files over it.
void MakeWritable(const fs::path& root) {
  const int folder = platform::OpenFolderInFolder(root, root);
  if (folder >= 0) AddOwnerWriteIn(folder, kMaxWritableDepth);
}

// Whether `path` of `from` may be copied to the same place under `to`: a link in the package
// that leads out of it would copy whatever it names (any file of the machine) into the roots,
// and a link at the place it goes to would have the copy written wherever that points.
bool StaysInFolders(const fs::path& from, const fs::path& to, const fs::path& path,
                    std::ostream& os) {
  const fs::path place = to / path.lexically_relative(from);
  if (!platform::LiesInFolder(from, path) || !platform::LiesInFolder(to, place)) {
    os << "copy " << Shown(path) << " refused: a link leads out of " << Shown(from) << " or "
       << Shown(to) << "\n";
    return false;
  }
  return true;
}

// Whether every entry that the copy takes stays in the two folders.
bool CopyStaysInFolders(const fs::path& from, const fs::path& to, bool recursive,
                        std::ostream& os) {
  std::error_code ec;
  if (!recursive) {
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file(ec) && !StaysInFolders(from, to, it->path(), os)) return false;
    return true;
  }
  // Walked as the copy walks it, following folder links. A link to a folder the walk is in
  // already would be followed round until the system's bound on links in one path, putting one
  // more copy of the package in the root each time.
  std::vector<fs::path> within{fs::canonical(from, ec)};
  const auto options = fs::directory_options::follow_directory_symlink;
  for (fs::recursive_directory_iterator it(from, options, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!StaysInFolders(from, to, it->path(), os)) return false;
    std::error_code kindEc;
    if (!it->is_directory(kindEc)) continue;
    within.resize(static_cast<std::size_t>(it.depth()) + 1);
    const fs::path real = fs::canonical(it->path(), kindEc);
    if (std::find(within.begin(), within.end(), real) != within.end()) {
      os << "copy " << Shown(it->path()) << " refused: a link leads to a folder above it\n";
      return false;
    }
    within.push_back(real);
  }
  return true;
}

// Why the last file operation failed, or `fallback` when the system said nothing.
std::string LastError(const char* fallback) {
  return errno != 0 ? std::strerror(errno) : fallback;
}

// Gives the open folder `folder`, which copy made, the permission bits of the package's folder
// `source`, as a copied file takes its source's: a folder kept private there stays private.
void TakeFolderBits(int folder, const fs::path& source) {
  std::error_code ec;
  const fs::perms bits = fs::status(source, ec).permissions();
  if (!ec) ::fchmod(folder, static_cast<mode_t>(bits & fs::perms::mask));
}

// Puts the entry `path` of `from` in its place under `to`: a folder is made, and a file is read
// and written as opened, each side judged then (a link swapped in after CopyStaysInFolders
// neither reads nor writes outside), and replaced whole or not at all, so a full disk leaves the
// old file and a program running from it keeps running. False after writing why.
bool CopyEntry(const fs::path& from, const fs::path& to, const fs::path& path, std::ostream& os) {
  const fs::path place = to / path.lexically_relative(from);
  std::error_code ec;
  errno = 0;
  bool copied = false;
  if (fs::is_directory(path, ec)) {
    const bool made = !fs::exists(fs::symlink_status(place, ec));
    const int folder = platform::MakeFoldersInFolder(to, place / "");
    copied = folder >= 0;
    if (copied && made) TakeFolderBits(folder, path);
    if (copied) ::close(folder);
  } else {
    const int source = platform::OpenFileInFolder(from, path, O_RDONLY);
    const int folder = source < 0 ? -1 : platform::MakeFoldersInFolder(to, place);
    copied =
        folder >= 0 && platform::CopyFileAtomicallyAt(source, folder, place.filename().string());
    if (folder >= 0) ::close(folder);
    if (source >= 0) ::close(source);
  }
  if (!copied) os << "copy " << Shown(path) << " failed " << LastError("no regular file") << "\n";
  return copied;
}

// Copies the folder's files over the target's; with `recursive` its sub-folders too.
bool CopyTree(const fs::path& from, const fs::path& to, bool recursive, std::ostream& os) {
  if (!Exists(from)) {
    os << "not find " << Shown(from) << "\n";
    return false;
  }
  if (!CopyStaysInFolders(from, to, recursive, os)) return false;
  std::error_code ec;
  if (fs::create_directories(to, ec)) {
    const int folder = platform::OpenFolderInFolder(to, to);
    if (folder >= 0) TakeFolderBits(folder, from);
    if (folder >= 0) ::close(folder);
  }
  bool ok = true;
  if (recursive) {
    const auto options = fs::directory_options::follow_directory_symlink;
    for (fs::recursive_directory_iterator it(from, options, ec), end; ok && !ec && it != end;
         it.increment(ec))
      ok = CopyEntry(from, to, it->path(), os);
  } else {
    for (fs::directory_iterator it(from, ec), end; ok && !ec && it != end; it.increment(ec)) {
      std::error_code kindEc;
      if (it->is_regular_file(kindEc)) ok = CopyEntry(from, to, it->path(), os);
    }
  }
  if (ok && ec) os << "copy " << Shown(from) << " failed " << ec.message() << "\n";
  return ok && !ec;
}

void StartProgram(const fs::path& exe, const char* param, std::ostream& os) {
  os << "exe = " << Shown(exe) << " param = " << param << "\n";
  if (!Exists(exe)) {
    os << "fail result \n"
       << "not find " << Shown(exe) << "\n";
    return;
  }
  // The program starts in its own folder, as the site's programs expect.
  const std::string line = "cd " + ShellQuote(exe.parent_path().string()) + " && exec ./" +
                           ShellQuote(exe.filename().string()) + " " + param;
  if (StartShellDetached(line)) {
    os << "success result \n";
  } else {
    os << "fail result \n";
  }
}

void OpenOne(const std::string& kind, std::ostream& os) {
  if (kind == "maps") {
    for (const char* param : kMapParams) StartProgram(ServerProgramPath("map"), param, os);
  } else if (IsPlainName(kind)) {
    StartProgram(ServerProgramPath(kind), "", os);
  } else {
    os << "无法识别 " << EscapeControls(kind) << "\n";
  }
}

// False (after writing why) when the kind's program runs or its files could not be copied.
bool CopyKind(const std::string& kind, std::ostream& os) {
  if (FindProcessByName(fs::path(ServerProgramPath(kind)).filename().c_str())) {
    os << kind << " 程序还在运行无法copy\n";
    return false;
  }
  MakeWritable(MaintainServersRoot());
  return CopyTree(MaintainTempRoot() / "servers" / kind, MaintainServersRoot() / kind, true, os);
}

// Removes the folder a package is unpacked into; false after writing why it could not be. A
// maintenance root there (the temp root set to the servers root's folder) is unpacked over as it
// is, and so is left.
bool EmptyUnpackFolder(const fs::path& unpacked, std::ostream& os) {
  if (platform::LiesInFolder(unpacked, MaintainServersRoot()) ||
      platform::LiesInFolder(unpacked, MaintainWwwRoot()))
    return true;
  std::error_code ec;
  fs::remove_all(unpacked, ec);
  if (!ec) return true;
  os << "can not remove " << Shown(unpacked) << " " << ec.message() << "\n";
  return false;
}

}  // namespace

std::string ServerProgramPath(const std::string& kind) {
  return (MaintainServersRoot() / kind / ("server" + kind + "_r.exe")).string();
}

void MaintainOpen(const std::string& kind, std::ostream& os) {
  if (kind != "all") {
    OpenOne(kind, os);
    return;
  }
  fs::path list = MaintainServersRoot() / kServerList;
  if (!Exists(list)) list = kServerListFallback;
  // Read without waiting: a pipe in the list's place would hold the site job (and every later
  // one, and the process's end) for ever.
  std::string text, why;
  const platform::eHomeFile read =
      platform::ReadHomeFile(list.string(), platform::kSettingsFileBytes, text, &why);
  if (read != platform::eHomeFile::kRead) {
    os << (read == platform::eHomeFile::kMissing ? " not find file serverconfig.ini " : why)
       << "\n";
    return;
  }
  // As a Windows editor saves the list: a byte-order mark (or UTF-16), CR LF, blanks and tabs
  // around a name. Kept, the first program, or one followed by a tab, was no kind.
  DecodeTextFile(text);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    line = TrimBlanksAndTabs(line);
    if (!line.empty() && line.front() != '#' && line.front() != ';') OpenOne(line, os);
  }
}

void MaintainCopy(const std::string& kind, std::ostream& os) {
  bool copied = true;
  if (kind == "all") {
    MakeWritable(MaintainServersRoot());
    // The top files only, as the site's list and settings files sit there.
    copied = CopyTree(MaintainTempRoot() / "servers", MaintainServersRoot(), false, os);
    for (const char* each : kCopyOrder) copied = CopyKind(each, os) && copied;
  } else if (IsPlainName(kind)) {
    copied = CopyKind(kind, os);
  } else {
    os << "无法识别 " << EscapeControls(kind) << "\n";
    return;
  }
  os << kMaintainStars << "\n" << (copied ? "完毕\n" : "copy " + kind + " failed\n");
}

void MaintainDownload(const std::string& kind, std::ostream& os, stSiteTools& tools) {
  const bool client = kind == "client";
  if (!client && kind != "server") {
    os << "无法识别 " << EscapeControls(kind) << "\n";
    return;
  }
  const stPackage package = client ? stPackage{"wvclient_update.zip", "wvclient"}
                                   : stPackage{"servers_update.zip", "servers"};
  bool ok = false;
  const std::string ftp = FtpArgs(os, ok);
  if (!ok) return;
  const fs::path temp = MaintainTempRoot();
  std::error_code ec;
  fs::create_directories(temp, ec);
  const fs::path zip = temp / package.zip;
  if (!RunToolInto(zip, kFtpTool,
                   ftp + " get " + ShellQuote(package.zip) + " " + ShellQuote(zip.string()), os,
                   tools))
    return;
  os << "下载完毕\n";
  const fs::path unpacked = temp / package.folder;
  // Unpacked into an empty folder: an earlier package's files left there went on with copy (or
  // to the www root), and its afterunzip2.bat ran when the new package has none.
  if (!EmptyUnpackFolder(unpacked, os)) return;
  if (!RunTool(kZipTool, " x " + ShellQuote(zip.string()) + " " + ShellQuote(unpacked.string()), os,
               tools)) {
    // What an unpack that broke off left would go into place with the next copy as if whole; a
    // maintenance root unpacked over is not removed, and is said to hold a part of the package.
    std::error_code left;
    if (!fs::exists(unpacked, left) || !EmptyUnpackFolder(unpacked, os)) return;
    os << Shown(unpacked)
       << (fs::exists(unpacked, left) ? " may hold a part of the package" : " removed")
       << ": it was not unpacked whole\n";
    return;
  }
  os << "解压缩完毕\n";
  if (client) {
    const fs::path www = MaintainWwwRoot();
    MakeWritable(www);
    if (!CopyTree(unpacked, www, true, os)) return;
    os << "文件copy完毕\n";
    if (!RunTool(www / "createupdate.exe", "", os, tools)) return;
    os << "创建自动更新完毕\n";
  } else if (!RunTool(unpacked / "afterunzip2.bat", "", os, tools)) {
    return;
  }
  os << "完毕\n";
}

void MaintainUpload(const std::string& kind, std::ostream& os, stSiteTools& tools) {
  const bool client = kind == "client";
  if (!client && kind != "server") {
    os << "无法识别 " << EscapeControls(kind) << "\n";
    return;
  }
  const fs::path source = client ? MaintainWwwRoot() : MaintainServersRoot();
  const char* zipName = client ? "wvclient_update.zip" : "servers_update.zip";
  if (!Exists(source)) {
    os << "not find " << Shown(source) << "\n";
    return;
  }
  bool ok = false;
  const std::string ftp = FtpArgs(os, ok);
  if (!ok) return;
  const fs::path temp = MaintainTempRoot();
  std::error_code ec;
  fs::create_directories(temp, ec);
  const fs::path zip = temp / zipName;
  if (!RunToolInto(zip, kZipTool,
                   " a " + ShellQuote(zip.string()) + " " + ShellQuote(source.string()), os, tools))
    return;
  os << "压缩完毕\n";
  if (!RunTool(kFtpTool, ftp + " put " + ShellQuote(zip.string()) + " " + ShellQuote(zipName), os,
               tools))
    return;
  os << "上传完毕\n";
}
