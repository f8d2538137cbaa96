#include "tessel/replay/net_record.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/folders.h"
#include "platform/local_time.h"
#include "platform/text_clean.h"
#include "tessel/contracts/net_records.h"
#include "tessel/core/config_stores.h"
#include "tessel/replay/net_replay.h"
#include "tessel/replay/operator_pause.h"
#include "tessel/replay/replay_file.h"

cNetRecord& cNetRecord::Instance() {
  static cNetRecord s_record;
  return s_record;
}

cNetRecord::cNetRecord(const cNetReplay* replay, ClockFunc clock)
    : m_pReplay(replay), m_clock(clock != nullptr ? clock : &platform::TimeGetTime) {}

cNetRecord::~cNetRecord() {
  if (GetNetRecorder() == this) SetNetRecorder(nullptr);
  std::lock_guard lock(m_lock);
  if (m_pFile != nullptr) std::fclose(m_pFile);
}

const cNetReplay& cNetRecord::Replay() const {
  return m_pReplay != nullptr ? *m_pReplay : cNetReplay::Instance();
}

bool cNetRecord::StartRecord(const char* name) {
  if (Replay().IsReplaying()) {
    std::cout << "cNetReplay::Instance().m_bReplay" << std::endl;
    return false;
  }
  // The name is a folder under Replay/: a name leading out of it (through "..", an absolute
  // path or a symbolic link) is refused. An empty name records directly under Replay/.
  const std::string given = name != nullptr ? name : "";
  std::filesystem::path inside;
  if (!given.empty() && !platform::ConfineToFolder(kReplayFolder, given, inside)) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cNetRecord::StartRecord refused name " << EscapeControls(given) << std::endl;
    return false;
  }
  {
    // One recording at a time: asking for another name while a file is open would say "ok"
    // and go on writing the first file.
    std::lock_guard lock(m_lock);
    if (m_pFile != nullptr && given != m_strName) {
      platform::ColorSection red(platform::kColorLightRed);
      std::cout << "cNetRecord::StartRecord already recording into " << EscapeControls(m_strPath)
                << std::endl;
      return false;
    }
    m_strName = given;
  }
  const bool created = RetryWithOperator([this] { return CreateRecord(); },
                                         [this] {
                                           platform::ColorSection red(platform::kColorLightRed);
                                           std::cout << "can not create rep file under "
                                                     << " Replay\\" << EscapeControls(GetName())
                                                     << std::endl;
                                         });
  if (!created) return false;
  m_bRecord.store(true);
  SetNetRecorder(this);
  return true;
}

namespace {

// Names tried for one second's file: "<time>.rep", then "<time>-2.rep" and on.
constexpr int kMaxNamesPerSecond = 100;

// A recording holds every record peers sent, the passwords of their logins among them (a
// replay must log in again as they did): it is created readable and writable by its owner
// only, whatever the umask. It is always a new file: an existing one (another recording of the
// same second, or a link planted under the name) is never opened, truncated or followed.
std::FILE* CreateOwnFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fchmod(fd, 0600) == 0 ? ::fdopen(fd, "wb") : nullptr;
  if (file == nullptr) ::close(fd);
  return file;
}

// Creates the first free name of this second in `folder`; null when none could be created.
std::FILE* CreateNewRecordFile(const std::string& folder, std::string& path) {
  const std::string stem = folder + platform::LocalTimeNow(platform::kFileTimeFormat);
  for (int n = 1; n <= kMaxNamesPerSecond; ++n) {
    path = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".rep";
    if (std::FILE* file = CreateOwnFile(path)) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// The most one recording may hold, in MiB, unless the configuration value "record_max_mbytes"
// says otherwise (0: no bound): a link that floods while recording must not fill the disk.
constexpr int kDefaultMaxMiB = 1024;

// Whether a record of `recordBytes` would take the file of `fileBytes` past the bound; `mib` is
// the bound in force.
bool OverBound(off_t fileBytes, uint64_t recordBytes, int& mib) {
  mib = GetConfigValue("record_max_mbytes", kDefaultMaxMiB);
  if (mib <= 0 || fileBytes < 0) return false;
  return static_cast<uint64_t>(fileBytes) + recordBytes >
         (uint64_t{static_cast<unsigned>(mib)} << 20);
}

// Writes all bytes and flushes them; false on a short write or a failed flush (a full disk).
bool WriteAll(std::FILE* file, const void* data, size_t size) {
  return std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
}

}  // namespace

// The file of this run: "Replay/<name>/<local time>.rep", its folders made first.
bool cNetRecord::CreateRecord() {
  std::lock_guard lock(m_lock);
  if (m_pFile != nullptr) return true;
  const std::string folder = std::string(kReplayFolder) + "/" + m_strName + "/";
  std::string path = folder + platform::LocalTimeNow(platform::kFileTimeFormat) + ".rep";
  std::FILE* file =
      platform::CreateNestedFolders(folder) ? CreateNewRecordFile(folder, path) : nullptr;
  std::cout << "cNetRecord::CreateRecord"
            << " File " << EscapeControls(path) << std::endl;
  stReplayHeader header;
  header.clock = m_clock();
  header.time = static_cast<uint32_t>(std::time(nullptr));
  const ReplayHeaderBytes bytes = EncodeReplayHeader(header);
  if (file != nullptr && !WriteAll(file, bytes.data(), bytes.size())) {
    std::fclose(file);
    file = nullptr;
    ::unlink(path.c_str());
  }
  if (file == nullptr) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cNetRecord::CreateRecord"
              << " error!" << std::endl;
    return false;
  }
  m_pFile = file;
  m_strPath = path;
  return true;
}

void cNetRecord::Record(int kind, const void* data, unsigned long size, unsigned int linkId,
                        const char* linkName) {
  Write(static_cast<uint32_t>(kind), data, static_cast<uint32_t>(size), linkId, linkName);
}

void cNetRecord::RecordNetState(unsigned int linkId, unsigned int state, unsigned int reason,
                                const char* linkName) {
  const auto data = EncodeReplayState(NetNotice_Server, linkId, state, reason);
  Write(ReplayKind_State, data.data(), data.size(), linkId, linkName);
}

void cNetRecord::Write(uint32_t kind, const void* data, uint32_t size, unsigned int linkId,
                       const char* linkName) {
  std::lock_guard lock(m_lock);
  if (m_pFile == nullptr) return;
  stReplayRecordHead head;
  head.clock = m_clock();
  head.kind = kind;
  head.name = linkName != nullptr ? linkName : "";
  head.linkId = linkId;
  head.size = data != nullptr ? size : 0;
  const ReplayRecordHeadBytes bytes = EncodeReplayRecordHead(head);
  // A file removed while it records (to make room, say) would take every later record where
  // nobody can read it, its space held: recording ends.
  struct stat st {};
  if (::fstat(::fileno(m_pFile), &st) == 0 && st.st_nlink == 0)
    return EndRecording(-1, "the file was removed");
  const off_t before = ::ftello(m_pFile);
  // A record that would take the file past its bound is not written: the file ends whole.
  int mib = 0;
  if (OverBound(before, bytes.size() + uint64_t{head.size}, mib))
    return EndRecording(-1, "the file reached record_max_mbytes (" + std::to_string(mib) + " MiB)");
  if (WriteAll(m_pFile, bytes.data(), bytes.size()) &&
      (head.size == 0 || WriteAll(m_pFile, data, head.size)))
    return;
  // A record that did not fit (a full disk) is cut off again, so the file ends after its last
  // whole record and stays playable; recording ends, as every later record would be lost too.
  EndRecording(before, "error " + std::to_string(errno));
}

// What the file's buffer still holds of a record that did not fit is dropped, so that the close
// writes none of it after the cut; the cut takes no descriptor of its own (none may be left).
void cNetRecord::EndRecording(off_t size, const std::string& why) {
  ::__fpurge(m_pFile);
  if (size >= 0) (void)::ftruncate(::fileno(m_pFile), size);
  std::fclose(m_pFile);
  m_pFile = nullptr;
  m_bRecord.store(false);
  platform::ColorSection red(platform::kColorLightRed);
  std::cout << "cNetRecord::Write " << why << ", recording into " << EscapeControls(m_strPath)
            << " ended" << std::endl;
}

std::string cNetRecord::GetName() const {
  std::lock_guard lock(m_lock);
  return m_strName;
}

std::string cNetRecord::GetPath() const {
  std::lock_guard lock(m_lock);
  return m_strPath;
}
