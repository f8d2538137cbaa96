#include "tessel/console/groups/maintain_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/descriptors.h"
#include "platform/folders.h"
#include "platform/text_clean.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/lua_text.h"

namespace fs = std::filesystem;

namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(from); hit != std::string_view::npos;
       hit = text.find(from, pos)) {
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

// Closes a descriptor when it leaves the scope.
struct stFd {
  int fd;
  ~stFd() {
    if (fd >= 0) ::close(fd);
  }
};

// Removes the log file `name` of the open folder when `expired` holds for it, judged and removed
// as it stands in that folder (a link is never followed).
bool RemoveIfExpired(int folder, const char* name, const LogFilter& expired) {
  struct stat st {};
  if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  if (!expired(static_cast<std::uintmax_t>(st.st_size), st.st_mtime)) return false;
  return ::unlinkat(folder, name, 0) == 0;
}

// Deepest folder below the servers root that the log cleaning reaches.
constexpr int kMaxLogDepth = 64;

// Transferred contents are written between the long brackets of level 3, "[===[" and "]===]".
constexpr std::size_t kTransferBracketLevel = 3;

// Cleans the log files of the folder `path` of `root`, opened and judged once, handing each
// sub-folder (never a link) to `sub`. Why the folder could not be read, or empty.
template <typename SubFolder>
std::string CleanLogFolder(const fs::path& root, const fs::path& path, const LogFilter& expired,
                           std::ostream& console, SubFolder sub) {
  errno = 0;
  const int fd = platform::OpenFolderInFolder(root, path);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    const int failed = errno;
    if (fd >= 0) ::close(fd);
    // A folder gone since it was listed (or a root never made) holds no log to clean.
    if (failed == ENOENT) return "";
    return failed != 0 ? std::strerror(failed) : "no folder inside the root";
  }
  for (errno = 0; const dirent* entry = ::readdir(dir); errno = 0) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (name == "." || name == ".." || ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (S_ISDIR(st.st_mode)) sub(path / name);
    if (!S_ISREG(st.st_mode) || fs::path(name).extension() != ".log") continue;
    const auto announce = [&](std::uintmax_t size, std::time_t lastWrite) {
      if (!expired(size, lastWrite)) return false;
      console << "delete file " << EscapeControls((path / name).string()) << std::endl;
      return true;
    };
    RemoveIfExpired(fd, name.c_str(), announce);
  }
  const int listed = errno;
  ::closedir(dir);
  return listed != 0 ? std::strerror(listed) : "";
}

const char* const kRootKeys[] = {"maintain_servers", "maintain_temp", "maintain_www"};

// A launch word names a root over the configuration string of the same name.
const cLaunchWords kRootWords{
    {"maintain_servers", "FOLDER", "root of the maintenance commands' server files"},
    {"maintain_temp", "FOLDER", "root of the maintenance commands' temporary files"},
    {"maintain_www", "FOLDER", "root of the maintenance commands' client files"},
};

// A launch parameter names the root first, else the configuration string.
fs::path Root(const char* key, const char* def) {
  std::string value = GetExeParam(key, "");
  if (value.empty()) value = GetConfigString(key, def);
  if (value.empty()) value = def;
  for (char& c : value)
    if (c == '\\') c = '/';
  return fs::path(value);
}

}  // namespace

fs::path MaintainServersRoot() {
  return Root("maintain_servers", "servers/");
}
fs::path MaintainTempRoot() {
  return Root("maintain_temp", "temp/");
}
fs::path MaintainWwwRoot() {
  return Root("maintain_www", "www/servers/wvclient/");
}

bool IsMaintainRootKey(const char* key) {
  for (const char* root : kRootKeys)
    if (key != nullptr && std::string_view(key) == root) return true;
  return false;
}

bool ConfinePath(const fs::path& root, std::string_view name, fs::path& out) {
  const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  if (std::any_of(name.begin(), name.end(), control)) return false;
  return platform::ConfineToFolder(root, std::string(name), out);
}

fs::path RequireShellOutsideRoots(std::string_view func, const std::string& path) {
  for (const fs::path& root : {MaintainServersRoot(), MaintainTempRoot(), MaintainWwwRoot()})
    if (platform::LiesInFolder(root, path)) return root;
  RequireCmdRight(func, eCmdRight::kShell);
  return {};
}

bool RequireShellOutside(std::string_view func, const fs::path& root, const std::string& path) {
  if (platform::LiesInFolder(root, path)) return true;
  RequireCmdRight(func, eCmdRight::kShell);
  return false;
}

bool IsPlainName(const std::string& kind) {
  if (kind.empty() || kind == "." || kind == "..") return false;
  for (const char c : kind) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

int CleanLogs(const fs::path& root, const LogFilter& expired, std::ostream& console,
              std::ostream& answer) {
  int unread = 0;
  // Folders still to clean, each with its depth below the root. Each is opened and judged to lie
  // in the root, then listed and cleaned as opened: a folder swapped for a link after it was
  // listed cannot lead the removal outside. One that cannot be read stops no other.
  std::vector<std::pair<fs::path, int>> folders{{root, 0}};
  while (!folders.empty()) {
    // Not a structured binding: clang (the fuzz build's compiler) lets no lambda capture one.
    const fs::path path = folders.back().first;
    const int depth = folders.back().second;
    folders.pop_back();
    const std::string why = CleanLogFolder(root, path, expired, console, [&](const fs::path& sub) {
      if (depth < kMaxLogDepth) folders.emplace_back(sub, depth + 1);
    });
    if (why.empty()) continue;
    answer << "can not read " << EscapeControls(path.string()) << ": " << why << "\n";
    ++unread;
  }
  return unread;
}

std::string UnescapeTransferText(std::string_view text) {
  return ReplaceAll(ReplaceAll(text, "$]$]", "]]"), "$[$[", "[[");
}

std::string EscapeTransferText(std::string_view text) {
  return ReplaceAll(ReplaceAll(text, "[[", "$[$["), "]]", "$]$]");
}

std::string MakeWriteFileIndexCmd(const std::string& file, int index, std::string_view contents) {
  // The receiver turns every "$[$[" into "[[" and "$]$]" into "]]": where the contents hold one
  // of those texts themselves, they are cut inside it, so that no piece holds it whole, and the
  // pieces after the first append.
  std::vector<std::size_t> cuts;
  for (const std::string_view escape : {"$[$[", "$]$]"})
    for (auto at = contents.find(escape); at != std::string_view::npos;
         at = contents.find(escape, at + 1))
      cuts.push_back(at + escape.size() - 1);
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(contents.size());
  // The contents travel between "[===[" and "]===]" (a higher level only when they hold
  // "]===]" themselves). A long bracket turns carriage returns into line ends, and a NUL ends
  // the command text: such contents travel as quoted literals with escapes.
  const bool longBracketKeepsIt =
      contents.find_first_of(std::string_view("\r\0", 2)) == std::string_view::npos;
  std::string cmd;
  std::size_t from = 0;
  for (const std::size_t to : cuts) {
    const std::string piece = EscapeTransferText(contents.substr(from, to - from));
    const int pieceIndex = from == 0 ? index : (index == 0 ? 1 : index);
    if (!cmd.empty()) cmd += " ";
    cmd += "writefileindex(" + LuaQuote(file) + "," + std::to_string(pieceIndex) + "," +
           (longBracketKeepsIt ? LuaLongBracket(piece, kTransferBracketLevel) : LuaQuote(piece)) +
           ")";
    from = to;
  }
  return cmd;
}

namespace {

using eWrite = eFileIndexWrite;

// Whether a file of this name holds secrets: account and login files (".ini"), keys (".key")
// and password files. Such a file is made the owner's alone.
bool HoldsSecrets(const fs::path& path) {
  std::string name = path.filename().string();
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name.ends_with(".ini") || name.ends_with(".key") ||
         name.find("password") != std::string::npos;
}

// Puts a copy of the file `path` of the open folder in its own place, replacing the name: a
// file with other names (a hard link to a file outside the root, or a tree put in place with
// "cp -al") is then no longer shared, and what is appended changes this name alone.
bool CopyOverOwnName(const fs::path& root, int folder, const fs::path& path) {
  const stFd source{platform::OpenFileInFolder(root, path, O_RDONLY)};
  return source.fd >= 0 &&
         platform::CopyFileAtomicallyAt(source.fd, folder, path.filename().string());
}

// Appends to the file `name` of the open folder, made afresh (never through a link) when it
// is missing, else the existing one as long as it lies in `root` (a copy of its own when it has
// other names), and as long as it stays within `maxBytes`.
eWrite AppendInFolder(const fs::path& root, int folder, const fs::path& path, std::string_view text,
                      std::uintmax_t maxBytes) {
  const mode_t newMode = HoldsSecrets(path) ? 0600 : 0666;
  stFd file{platform::OpenAppendAt(root, folder, path, newMode)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return eWrite::kFailed;
  if (st.st_nlink > 1) {
    ::close(file.fd);
    file.fd = CopyOverOwnName(root, folder, path)
                  ? platform::OpenAppendAt(root, folder, path, newMode)
                  : -1;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || st.st_nlink > 1) return eWrite::kFailed;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes - text.size()) return eWrite::kOverBound;
  // A part that did not fit (a full disk) is taken back: what is left is the parts before it.
  const bool written = platform::WriteAll(file.fd, text);
  if (!written && ::ftruncate(file.fd, st.st_size) != 0) return eWrite::kFailed;
  return written ? eWrite::kWritten : eWrite::kFailed;
}

}  // namespace

eWrite WriteFileIndexTo(const fs::path& root, const fs::path& path, int index,
                        std::string_view text, std::uintmax_t maxBytes) {
  if (text.size() > maxBytes) return eWrite::kOverBound;
  // The folder is opened once and judged as opened: the file is made in that very folder.
  const stFd folder{platform::MakeFoldersInFolder(root, path)};
  if (folder.fd < 0) return eWrite::kFailed;
  if (index != 0) return AppendInFolder(root, folder.fd, path, text, maxBytes);
  // Replaced whole or not at all; the file keeps its permissions (a program stays runnable).
  return platform::WriteFileAtomicallyAt(folder.fd, path.filename().string(), std::string(text),
                                         HoldsSecrets(path) ? 0600 : 0644)
             ? eWrite::kWritten
             : eWrite::kFailed;
}

bool ReadFileBytes(const fs::path& root, const fs::path& path, std::uintmax_t offset,
                   std::uintmax_t maxBytes, std::string& out, std::uintmax_t& size) {
  out.clear();
  const stFd file{platform::OpenFileInFolder(root, path, O_RDONLY)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return false;
  size = static_cast<std::uintmax_t>(st.st_size);
  out.resize(static_cast<std::size_t>(maxBytes));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(file.fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return true;
}
