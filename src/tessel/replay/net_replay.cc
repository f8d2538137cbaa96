#include "tessel/replay/net_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <thread>

#include "netlib/net_limits.h"
#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/folders.h"
#include "platform/text_clean.h"
#include "tessel/replay/net_record.h"
#include "tessel/replay/operator_pause.h"
#include "tessel/replay/tessel_replay.h"

namespace {

// Playback factor of speed 0.
constexpr int64_t kFastestSpeed = 1000;
// The sleep of the replay thread when nothing is due, and the slice of its end pause.
constexpr auto kIdleSleep = std::chrono::milliseconds(1);
constexpr unsigned int kPauseSliceMs = 10;

// The process's replayer once Instance() made it.
std::atomic<cNetReplay*> g_instance{nullptr};

void ReplayError(const std::string& text) {
  platform::ColorSection red(platform::kColorLightRed);
  std::cout << text << std::endl;
}

// The file as the line naming the replay folder shows it: a path that already leads into that
// folder (the Replay command confines its file there) is named from inside it.
std::string NamedUnderReplayFolder(const std::string& path) {
  const std::string folder = std::string(kReplayFolder) + "/";
  return path.starts_with(folder) ? path.substr(folder.size()) : path;
}

// Opens the replay file for reading without waiting (a pipe or a device is never waited on): a
// file under `folder` wherever links inside it lead, as long as what is opened lies in it; else
// the file at `path` itself, never through a link there. The descriptor when it is a regular
// file; else -1 and `why`.
int OpenReplayFile(const char* path, const char* folder, std::string& why) {
  errno = 0;
  const int fd = folder != nullptr ? platform::OpenFileInFolder(folder, path, O_RDONLY | O_NONBLOCK)
                                   : ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  const int error = errno;
  const bool noDescriptor = error == EMFILE || error == ENFILE;
  if (fd < 0)
    why = error == ELOOP && folder == nullptr  ? "it is a symbolic link"
          : folder != nullptr && !noDescriptor ? std::string("no regular file in ") + folder
                                               : std::strerror(error);
  struct stat st {};
  if (fd < 0 || (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) return fd;
  ::close(fd);
  why = "it is no regular file";
  return -1;
}

}  // namespace

cNetReplay& cNetReplay::Instance() {
  static cNetReplay s_replay(&cTesselReplay::Instance());
  g_instance.store(&s_replay);
  return s_replay;
}

void cNetReplay::StopInstance() {
  if (cNetReplay* replay = g_instance.load()) replay->Stop();
}

void cNetReplay::Stop() {
  m_nSpeed.store(-1);
  m_thread.End();
}

cNetReplay::cNetReplay(iCallbackFind* find, const cNetRecord* record, ClockFunc clock)
    : m_pFind(find),
      m_pRecord(record),
      m_clock(clock != nullptr ? clock : &platform::TimeGetTime) {}

cNetReplay::~cNetReplay() {
  if (g_instance.load() == this) g_instance.store(nullptr);
  Stop();
  if (m_pFile != nullptr) std::fclose(m_pFile);
}

const cNetRecord& cNetReplay::Record() const {
  return m_pRecord != nullptr ? *m_pRecord : cNetRecord::Instance();
}

bool cNetReplay::StartReplay(const char* path, int speed, bool ownThread, const char* folder) {
  if (Record().IsRecordOn()) {
    std::cout << "cNetRecord::Instance().m_bRecord" << std::endl;
    return false;
  }
  bool idle = false;
  if (!m_bReplay.compare_exchange_strong(idle, true)) {
    std::cout << "cNetReplay::StartReplay"
              << " already replaying" << std::endl;
    return false;
  }
  // The thread of an earlier replay has ended or is about to; nothing of it is reused.
  m_thread.End();
  const std::string file = path != nullptr ? path : "";
  const std::string missing =
      "can not find replay.rep under  Replay\\" + EscapeControls(NamedUnderReplayFolder(file));
  const bool loaded = RetryWithOperator([&] { return LoadReplay(file.c_str(), folder); },
                                        [&] { ReplayError(missing); });
  if (!loaded) {
    m_bReplay.store(false);
    return false;
  }
  if (iCallbackFind* find = m_pFind.load()) find->OnReplayStart();
  m_nDelivered.store(0);
  m_nDropped.store(0);
  m_nSpeed.store(speed);
  m_bThreadDone.store(false);
  if (!ownThread) return true;
  if (m_thread.Start(this) == 1) return true;
  Finish();
  return false;
}

// The file is opened once, and what that open reached is what is read: a name looked at first
// and opened after could be given meanwhile to a pipe (the open or the read would hold the replay
// for ever) or to a link leading elsewhere. Only a regular file is read.
bool cNetReplay::LoadReplay(const char* path, const char* folder) {
  std::string why;
  const int fd = path != nullptr ? OpenReplayFile(path, folder, why) : -1;
  struct stat st {};
  if (fd < 0 && (path == nullptr || (::lstat(path, &st) != 0 && errno == ENOENT))) {
    ReplayError("cNetReplay::LoadReplay not find any file ");
    return false;
  }
  if (m_pFile != nullptr) std::fclose(m_pFile);
  m_pFile = nullptr;
  m_bPending = false;
  m_tStart = m_clock();
  std::cout << "cNetReplay::LoadReplay"
            << " File " << EscapeControls(path) << std::endl;
  std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) ::close(fd);
    ReplayError(std::string("cNetReplay::LoadReplay") + "file " + EscapeControls(path) +
                " open error! (" + (fd >= 0 ? std::strerror(errno) : why) + ")");
    return false;
  }
  ReplayHeaderBytes bytes;
  if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    ReplayError("cNetReplay::LoadReplay file " + EscapeControls(path) + " cut in its header");
    std::fclose(file);
    return false;
  }
  m_header = DecodeReplayHeader(bytes);
  m_pFile = file;
  m_strPath = path;
  return true;
}

unsigned int cNetReplay::Thread() {
  bool ended = false;
  while (m_nSpeed.load() >= 0) {
    const StepResult step = Step();
    if (step == Step_End) {
      ended = true;
      break;
    }
    if (step == Step_Waiting) std::this_thread::sleep_for(kIdleSleep);
  }
  if (ended) {
    EndPause();
    platform::ColorSection colour(platform::kColorLightGreen);
    std::cout << "[replay] end..." << std::endl;
  } else {
    Finish();
  }
  m_bThreadDone.store(true);
  return 0;
}

void cNetReplay::EndPause() {
  const unsigned int total = m_nEndPauseMs.load();
  for (unsigned int waited = 0; waited < total && m_nSpeed.load() >= 0; waited += kPauseSliceMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseSliceMs));
}

cNetReplay::StepResult cNetReplay::Step() {
  if (m_pFile == nullptr) return Step_End;
  if (!m_bPending) {
    if (!ReadRecord()) {
      SayDropped();
      Finish();
      return Step_End;
    }
    m_bPending = true;
    m_bAnnounced = false;
  }
  if (!IsDue(m_pending.head)) return Step_Waiting;
  // A link whose queue is full refuses the record: it stays pending for the next step.
  if (!Deliver(m_pending)) return Step_Waiting;
  m_bPending = false;
  m_delivered.swap(m_pending.data);
  m_pending.data.clear();
  return Step_Delivered;
}

// Reads one record. A clean end of the file ends the replay quietly; a file cut inside a
// record, an unknown kind, a size that runs past the end of the file or one larger than any
// link takes (a sparse file may hold it) ends it with a line naming the file and the record's
// offset, and no buffer is allocated for such a size; nor does a buffer that cannot be had end
// the process.
bool cNetReplay::ReadRecord() {
  const long long at = ::ftello(m_pFile);
  ReplayRecordHeadBytes bytes;
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), m_pFile);
  if (std::ferror(m_pFile)) {
    Refuse("error " + std::to_string(errno), at);
    return false;
  }
  if (got == 0) return false;
  if (got < bytes.size()) {
    Refuse("file cut in a record head after " + std::to_string(got) + " bytes", at);
    return false;
  }
  stReplayRecordHead head = DecodeReplayRecordHead(bytes);
  if (!IsReplayKind(head.kind)) {
    Refuse("bad record kind " + std::to_string(head.kind), at);
    return false;
  }
  struct stat info {};
  const off_t end = at + static_cast<off_t>(bytes.size());
  if (::fstat(::fileno(m_pFile), &info) != 0 || at < 0) {
    Refuse("error " + std::to_string(errno), at);
    return false;
  }
  const uint64_t left = info.st_size > end ? static_cast<uint64_t>(info.st_size - end) : 0;
  if (head.size > left) {
    Refuse("record of " + std::to_string(head.size) + " bytes, only " + std::to_string(left) +
               " left in the file",
           at);
    return false;
  }
  if (head.size > netlib::kMaxRecordLimit) {
    Refuse("record of " + std::to_string(head.size) + " bytes, more than a link takes", at);
    return false;
  }
  try {
    m_pending.data.resize(head.size);
  } catch (const std::bad_alloc&) {
    Refuse("no memory for a record of " + std::to_string(head.size) + " bytes", at);
    return false;
  }
  if (std::fread(m_pending.data.data(), 1, head.size, m_pFile) != head.size) {
    Refuse("file cut in a record's data", at);
    return false;
  }
  m_pending.head = std::move(head);
  return true;
}

void cNetReplay::Refuse(const std::string& what, long long at) const {
  ReplayError("cNetReplay::ReadRecord " + what + " (" + EscapeControls(m_strPath) + " at offset " +
              std::to_string(at) + ")");
}

// Due once the time since loading, scaled by the speed, reaches the record's offset from the
// start of the recording. An offset before the start (a clock that is not the recording's) is
// due at once.
bool cNetReplay::IsDue(const stReplayRecordHead& head) {
  const int speedWord = m_nSpeed.load();
  if (speedWord < 0) return false;
  const int64_t speed = speedWord == 0 ? kFastestSpeed : speedWord;
  const int64_t offset = static_cast<int32_t>(head.clock - m_header.clock);
  const int64_t played = static_cast<int64_t>(platform::ElapsedMs(m_tStart, m_clock())) * speed;
  if (played >= offset) return true;
  if (!m_bAnnounced) {
    m_bAnnounced = true;
    std::cout << "[replay]  next msg is at " << (offset - played) / speed << std::endl;
  }
  return false;
}

bool cNetReplay::Deliver(const stPending& record) {
  const char* name = record.head.name.c_str();
  iCallbackFind* find = m_pFind.load();
  iCallbackNet* callback = m_pCallback.load();
  if (callback == nullptr && find != nullptr) callback = find->FindCallback(name);
  if (callback == nullptr) {
    m_nDropped.fetch_add(1);
    return true;
  }
  iSend* link = nullptr;
  if (find != nullptr) {
    link = record.head.linkId > 0 ? find->FindServerLink(name, record.head.linkId)
                                  : find->FindClientLink(name);
  }
  if (callback->OnMessage(static_cast<int>(record.head.kind), record.data.data(),
                          record.data.size(), link) == 0)
    return false;
  m_nDelivered.fetch_add(1);
  return true;
}

// A file recorded by another process (or before its links were renamed) plays into nothing:
// the end says so, or the replay would pass for done.
void cNetReplay::SayDropped() const {
  if (const unsigned int dropped = m_nDropped.load())
    ReplayError("[replay] records named no link of this process, not replayed: " +
                std::to_string(dropped));
}

void cNetReplay::Finish() {
  if (m_pFile != nullptr) std::fclose(m_pFile);
  m_pFile = nullptr;
  m_bPending = false;
  m_bReplay.store(false);
}
