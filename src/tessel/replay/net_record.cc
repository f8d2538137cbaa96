#include "tessel/replay/net_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <iostream>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/folders.h"
#include "platform/local_time.h"
#include "tessel/contracts/net_records.h"
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
    std::cout << "cNetRecord::StartRecord refused name " << given << std::endl;
    return false;
  }
  {
    std::lock_guard lock(m_lock);
    m_strName = given;
  }
  const bool created = RetryWithOperator([this] { return CreateRecord(); },
                                         [this] {
                                           platform::ColorSection red(platform::kColorLightRed);
                                           std::cout << "can not create rep file under "
                                                     << " Replay\\" << GetName() << std::endl;
                                         });
  if (!created) return false;
  m_bRecord.store(true);
  SetNetRecorder(this);
  return true;
}

namespace {

// A recording holds every record peers sent, the passwords of their logins among them (a
// replay must log in again as they did): it is created readable and writable by its owner
// only, whatever the umask, and so is a file of the same name that was there before.
std::FILE* CreateOwnFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fchmod(fd, 0600) == 0 ? ::fdopen(fd, "wb") : nullptr;
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace

// The file of this run: "Replay/<name>/<local time>.rep", its folders made first.
bool cNetRecord::CreateRecord() {
  std::lock_guard lock(m_lock);
  if (m_pFile != nullptr) return true;
  const std::string folder = std::string(kReplayFolder) + "/" + m_strName + "/";
  const std::string path =
      folder + platform::LocalTimeNow(platform::kFileTimeFormat) + std::string(".rep");
  std::cout << "cNetRecord::CreateRecord"
            << " File " << path << std::endl;
  std::FILE* file = platform::CreateNestedFolders(folder) ? CreateOwnFile(path) : nullptr;
  if (file == nullptr) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cNetRecord::CreateRecord"
              << " error!" << std::endl;
    return false;
  }
  stReplayHeader header;
  header.clock = m_clock();
  header.time = static_cast<uint32_t>(std::time(nullptr));
  const ReplayHeaderBytes bytes = EncodeReplayHeader(header);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
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
  std::fwrite(bytes.data(), 1, bytes.size(), m_pFile);
  if (head.size > 0) std::fwrite(data, 1, head.size, m_pFile);
  std::fflush(m_pFile);
}

std::string cNetRecord::GetName() const {
  std::lock_guard lock(m_lock);
  return m_strName;
}

std::string cNetRecord::GetPath() const {
  std::lock_guard lock(m_lock);
  return m_strPath;
}
