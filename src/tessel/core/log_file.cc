#include "tessel/core/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/descriptors.h"
#include "platform/folders.h"
#include "platform/local_time.h"
#include "platform/text_clean.h"

namespace {

std::atomic<bool> g_filesOn{true};
std::atomic<void (*)(const std::string&)> g_beforeOpen{nullptr};

// The log files whose name another kind of file took after they were moved: their lines stay
// where they went, and that is said once. Any thread.
struct stUnfollowed {
  std::mutex lock;
  std::set<std::string> files;
};

stUnfollowed& Unfollowed() {
  static stUnfollowed* const unfollowed = new stUnfollowed;
  return *unfollowed;
}

// Marks `file` as followed again (false) or not (true); whether it was so marked before.
bool MarkUnfollowed(const std::string& file, bool unfollowed) {
  stUnfollowed& all = Unfollowed();
  std::lock_guard guard(all.lock);
  return unfollowed ? !all.files.insert(file).second : all.files.erase(file) != 0;
}

// A file at `file` with other names (a hard link, which may lie outside the log folder), or one a
// symbolic link there leads to, would be cut by a truncating open and take the log's lines: this
// name is taken from it, its other names or the link keep it as it was, and the log opens a new
// file here. False when such a file keeps the name, or a pipe stands there (it is not opened).
bool TakeTheName(const std::string& file) {
  // A pipe there (or a link to one) would hold the process at the open until something reads it.
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    std::cout << "cLog " << EscapeControls(file)
              << " is a pipe, which would hold the process until something reads it; it is not "
                 "opened"
              << std::endl;
    return false;
  }
  bool taken = false;
  const platform::eForeignFile what = platform::TakeNameFromForeignFile(file, taken);
  if (taken)
    std::cout << "cLog " << EscapeControls(file) << " " << platform::ForeignFileWords(what) << "; "
              << platform::ForeignFileKept(what) << " and its lines go into a new file at its name"
              << std::endl;
  return taken || what == platform::eForeignFile::kNone;
}

// What keeps a log out of the file open at `fd`, reached through a symbolic link when `linked`:
// a pipe, a regular file through a link or with other names, or with `deviceLink` false anything
// but a regular file. Empty when the log may write it.
std::string Refusal(int fd, bool linked, bool deviceLink) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return "can not be judged";
  if (S_ISFIFO(st.st_mode))
    return "is a pipe, which would hold the process until something reads it";
  if (linked && S_ISREG(st.st_mode))
    return platform::ForeignFileWords(platform::eForeignFile::kSymlink);
  if (!deviceLink && !S_ISREG(st.st_mode)) return "is no regular file";
  if (platform::HasOtherNames(st))
    return platform::ForeignFileWords(platform::eForeignFile::kOtherNames);
  return {};
}

// Opens `file` for writing (appending with `append`) without following a symbolic link or
// waiting on a pipe, and judges the file it opened, so that what was put at the name after it
// was judged is never written or cut (see Refusal); with `deviceLink` a link to a device
// (/dev/null), which TakeTheName leaves, is followed. A truncating open cuts the file once
// judged. The descriptor (close-on-exec, blocking writes), or -1 with `why` saying what stood
// there (empty: errno says why).
int OpenJudged(const std::string& file, bool append, bool deviceLink, std::string& why) {
  const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0);
  int fd = ::open(file.c_str(), flags | O_CREAT | O_NOFOLLOW, 0666);
  const bool linked = fd < 0 && errno == ELOOP;
  if (linked && deviceLink) fd = ::open(file.c_str(), flags);  // a link to nothing makes nothing
  if (fd < 0) {
    if (linked) why = platform::ForeignFileWords(platform::eForeignFile::kSymlink);
    return -1;
  }
  why = Refusal(fd, linked, deviceLink);
  struct stat st {};
  if (!why.empty() ||
      (!append && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

void cLog::SetBeforeOpen(void (*hook)(const std::string& file)) {
  g_beforeOpen.store(hook);
}

void cLog::SetFilesOn(bool on) {
  g_filesOn.store(on);
}

cLog::~cLog() {
  m_bEcho = false;
  Close();
}

bool cLog::OpenFile(const std::string& file, std::ios::openmode mode) {
  const bool said = m_bOpenLate && file == m_strFile;
  m_bOpenLate = false;
  m_strFile = file;
  MarkUnfollowed(file, false);
  if (is_open()) Close();
  if (!g_filesOn.load()) return true;
  if (!TakeTheName(file)) return false;
  if (auto hook = g_beforeOpen.load()) hook(file);
  std::string why;
  const int fd = OpenJudged(file, (mode & std::ios::app) != 0, true, why);
  const int error = errno;
  if (fd < 0 && why.empty() && LacksRoomForNow(error)) return OpenLater(mode, said, error);
  if (!why.empty())
    std::cout << "cLog " << EscapeControls(file) << " " << why
              << ", put there after its name was judged; it is not opened" << std::endl;
  if (fd < 0 || !Attach(fd, mode)) return false;
  *this << "create log file at: ";
  TimeStamp() << "\n\n";
  return true;
}

// Out of descriptors, memory or room, a log that was never opened took no line for the rest of
// the run: it is opened at the first line that finds them free again.
bool cLog::OpenLater(std::ios::openmode mode, bool said, int error) {
  if (!said)
    std::cout << "cLog " << EscapeControls(m_strFile)
              << " can not be opened yet: " << std::strerror(error) << "; tried again at each line"
              << std::endl;
  m_bOpenLate = true;
  m_openMode = mode;
  return false;
}

bool cLog::Open(const char* file) {
  return OpenFile(file, std::ios::out | std::ios::trunc);
}

// The folder is made as a folder whatever its name (a dot in it does not turn it into a file
// name). A file of the same second (a quick restart) is appended to rather than overwritten.
bool cLog::Open(const char* folder, int keepDays) {
  std::string path = platform::ToSlashes(folder);
  if (!g_filesOn.load()) return OpenFile(path + "/", std::ios::out);
  platform::CreateNestedFolders(path + "/");
  if (keepDays > 0) platform::DeleteOldFiles(path, keepDays);
  std::string file = path + "/" + platform::LocalTimeNow(platform::kFileTimeFormat) + ".log";
  return OpenFile(file, std::ios::out | std::ios::app);
}

// The stream writes through a buffer over `fd` from now on (the one it wrote through before is
// closed), or through its own, never open, when none can be made.
bool cLog::Attach(int fd, std::ios::openmode mode) {
  m_pBuffer = platform::FileBufferOver(fd, mode);
  std::ios::rdbuf(m_pBuffer ? m_pBuffer.get() : std::ofstream::rdbuf());
  return is_open();
}

// The stream goes back to its own buffer, which is never open: a write after the close fails as
// it did before.
void cLog::close() {
  if (!m_pBuffer) return;
  const bool closed = m_pBuffer->close() != nullptr;
  std::ios::rdbuf(std::ofstream::rdbuf());
  m_pBuffer.reset();
  if (!closed) setstate(std::ios::failbit);
}

void cLog::Close() {
  m_bOpenLate = false;
  if (!is_open()) return;
  *this << "\nend log file at: ";
  TimeStamp();
  flush();
  close();
}

cLog& cLog::BeginLine() {
  if (m_bOpenLate && !is_open()) OpenFile(m_strFile, m_openMode);
  ReopenIfRemoved();
  TakeUpAfterFailure();
  return *this;
}

cLog& cLog::TimeStamp() {
  BeginLine();
  return *this << platform::LocalTimeNow(platform::kLineTimeFormat);
}

// A file removed while written (to make room, say), or moved away from its name (log rotation
// renames it), would take every later line where nobody looks for them: the lines go on at its
// name, in a new file or the one rotation made there; never through a link or into another
// kind of file, and then they stay where they went.
void cLog::ReopenIfRemoved() {
  if (!is_open()) return;
  const platform::eFileAtPath at = platform::FileAtPath(*m_pBuffer, m_strFile);
  if (at == platform::eFileAtPath::kThere) return;
  const char* const how = at == platform::eFileAtPath::kRemoved ? "removed" : "moved";
  if (!platform::PathTakesALog(m_strFile)) {
    if (MarkUnfollowed(m_strFile, true)) return;
    std::cout << "cLog " << EscapeControls(m_strFile) << " was " << how
              << " and can not be followed: another kind of file stands at its name" << std::endl;
    return;
  }
  const bool taken = std::filesystem::exists(m_strFile);
  if (auto hook = g_beforeOpen.load()) hook(m_strFile);
  std::string why;
  const int fd = OpenJudged(m_strFile, true, false, why);
  // Out of descriptors, memory or room: the lines go on where they went, and the name is tried
  // again at the next line.
  if (fd < 0 && why.empty() && LacksRoomForNow(errno)) return SayLate(how, taken);
  m_bLate = false;
  if (fd >= 0) {
    flush();
    Attach(fd, std::ios::out | std::ios::app);  // the moved file is closed with its buffer
  } else {
    close();
  }
  if (!why.empty()) why = ": the file now at its name " + why;
  std::cout << "cLog " << EscapeControls(m_strFile) << " was " << how << "; "
            << (!is_open() ? "it can not be made again" + why
                : taken    ? "its lines go on in the file now at its name"
                           : "its lines go on in a new file")
            << std::endl;
}

bool cLog::LacksRoomForNow(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOSPC ||
         error == EDQUOT;
}

// Closed at once, the log took no line again once descriptors were back: the lines go on in the
// file open, and the name is tried again at each line.
void cLog::SayLate(const char* how, bool taken) {
  if (!m_bLate)
    std::cout << "cLog " << EscapeControls(m_strFile) << " was " << how << " and can not be "
              << (taken ? "followed" : "made again") << " yet: " << std::strerror(errno)
              << "; tried again at each line" << std::endl;
  m_bLate = true;
}

// The stream keeps what it could not write and tries it again with the next write; what no
// longer fits is lost. While it fails, a line in its buffer is no line written: what it holds is
// flushed first, and only a flush that went through says it works again.
void cLog::TakeUpAfterFailure() {
  if (!is_open()) return;
  if (m_bFailing && good()) flush();
  if (good()) {
    if (m_bFailing)
      std::cout << "cLog writes to " << EscapeControls(m_strFile) << " again" << std::endl;
    m_bFailing = false;
    return;
  }
  clear();
  if (!m_bFailing)
    std::cout << "cLog can not write " << EscapeControls(m_strFile)
              << "; lines may be lost until it can" << std::endl;
  m_bFailing = true;
}

void cLog::WriteLine(const std::string& text) {
  TimeStamp() << text << "\n";
}

cMsgLog::cMsgLog() : m_pLog(std::make_unique<cLog>()) {}

cMsgLog::~cMsgLog() = default;

bool cMsgLog::Open(const char* folder, int keepDays) {
  m_strFolder = folder;
  if (m_pLog->Open(folder, keepDays)) return true;
  std::cout << "can not open log file " << EscapeControls(m_pLog->GetFileName()) << std::endl;
  return false;
}

void cMsgLog::LogMsg(const char* text, uint16_t type, uint32_t size) {
  m_pLog->WriteLine(text);
  m_pLog->TimeStamp() << "recieve msg type " << type << " size " << size << "\n";
}
