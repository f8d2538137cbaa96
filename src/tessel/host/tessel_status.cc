#include "tessel/host/tessel_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "platform/home_file.h"
#include "platform/local_time.h"
#include "platform/registry.h"
#include "platform/text_clean.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd.h"
#include "tessel/core/flight_ring.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/host/report_buffer.h"

namespace {

std::atomic<int> g_runStage{RunStage_Idle};

// A crash status formatted into fixed storage: built inside a fatal-signal handler, where
// allocating or waiting for a lock may never return.
struct stStatusText {
  char text[8192];
  size_t size = 0;

  void Add(const char* piece) {
    const size_t n = std::min(std::strlen(piece), sizeof text - 1 - size);
    std::memcpy(text + size, piece, n);
    size += n;
    text[size] = '\0';
  }

  // A command's text, a peer's or the console's: a control or a broken byte goes in as \xNN,
  // as EscapeControls writes it, so that the text forges no line of the status (nor of the log
  // and the record it goes to). What does not fit whole is dropped.
  void AddEscaped(const char* piece) {
    static const char kDigits[] = "0123456789ABCDEF";
    const std::string_view view(piece);
    for (size_t at = 0; at < view.size();) {
      const size_t length = PrintableCharAt(view, at);
      const auto byte = static_cast<unsigned char>(view[at]);
      const char escape[4] = {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
      const size_t n = length != 0 ? length : sizeof escape;
      if (size + n > sizeof text - 1) break;
      std::memcpy(text + size, length != 0 ? piece + at : escape, n);
      size += n;
      at += length != 0 ? length : 1;
    }
    text[size] = '\0';
  }
};

// An output stream over the free end of a status text; what does not fit is dropped.
class cFixedBuf : public std::streambuf {
 public:
  explicit cFixedBuf(stStatusText& status) : m_status(status) {
    setp(status.text + status.size, status.text + sizeof status.text - 1);
  }
  ~cFixedBuf() override {
    m_status.size += static_cast<size_t>(pptr() - pbase());
    m_status.text[m_status.size] = '\0';
  }

 private:
  stStatusText& m_status;
};

void FormatStatus(stStatusText& status) {
  const int stage = GetRunStage();
  char piece[2048];
  status.size = 0;
  status.Add("【严重错误】exception catched status: ");
  const char digit[2] = {static_cast<char>('0' + (stage >= 0 && stage <= 9 ? stage : 9)), '\0'};
  status.Add(digit);
  status.Add("\n");
  if (stage == RunStage_Msg || stage == RunStage_Cmd) {
    // A lock held at the fault (perhaps by the faulting thread itself) leaves its line marked.
    status.Add("last cmd ");
    status.AddEscaped(cCmd::CopyCurCmdText(piece, sizeof piece) ? piece : "(locked)");
    status.Add("\nlast input cmd ");
    status.AddEscaped(cTesselCmd::Instance().CopyCurInput(piece, sizeof piece) ? piece
                                                                               : "(locked)");
    status.Add("\n");
  } else if (stage == RunStage_Timer) {
    status.Add("in run \n");
    cFixedBuf buf(status);
    std::ostream os(&buf);
    cTimerManager::Instance().ReportCrashToStream(os);
  }
}

// The status as it was when the crash was reported, while the faulting cycle's state was still
// in place; written once, by the reporting thread.
stStatusText g_recorded;
std::atomic<bool> g_hasRecorded{false};

// Where the handler writes the crash record; set ahead by TesselPrepareCrashRecord. Read by the
// handler without a lock: a path is published whole.
struct stRecordPlace {
  char path[4096] = "";
  char temporary[4096 + 32] = "";  // written first, then renamed over path
};
stRecordPlace g_places[2];
std::atomic<const stRecordPlace*> g_place{nullptr};

// The record sits beside the program's registry key: "<key file without .ini>.crash".
std::string RecordPath(const char* exeName) {
  std::string key = platform::RegistryKeyFile(std::string("Software/") + exeName);
  if (key.size() > 4 && key.ends_with(".ini")) key.resize(key.size() - 4);
  return key.empty() ? key : key + ".crash";
}

bool WriteAll(int fd, const char* text, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, text, n);
    if (w <= 0) return false;
    text += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

void SetRunStage(int stage) {
  g_runStage.store(stage, std::memory_order_relaxed);
}
int GetRunStage() {
  return g_runStage.load(std::memory_order_relaxed);
}

std::string TesselCrashStatus() {
  stStatusText status;
  FormatStatus(status);
  return std::string(status.text, status.size);
}

void TesselReportCrash() {
  tessel_write(tessel_fetalerror(), g_hasRecorded.load()
                                        ? std::string(g_recorded.text, g_recorded.size)
                                        : TesselCrashStatus());
  TesselStoreRecordedCrash(cTesselValues::Instance().GetExeName().c_str());
}

void TesselPrepareCrashRecord(const char* exeName) {
  static std::mutex lock;
  std::lock_guard hold(lock);
  const std::string path = RecordPath(exeName);
  stRecordPlace& place = g_places[g_place.load() == &g_places[0] ? 1 : 0];
  if (path.empty() || path.size() >= sizeof place.path) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::memcpy(place.path, path.c_str(), path.size() + 1);
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  std::memcpy(place.temporary, temporary.c_str(), temporary.size() + 1);
  RefreshFlightTimeOffset();
  g_place = &place;
}

// Inside the fatal-signal handler: the status into fixed storage, then the record file, the
// time on its first line, with nothing allocated (the fault may have come from inside malloc).
void TesselRecordCrash() {
  if (!g_hasRecorded.load()) {
    FormatStatus(g_recorded);
    g_hasRecorded = true;
  }
  const stRecordPlace* place = g_place.load();
  if (place == nullptr) return;
  // Never waits: a pipe in the record's place (opening it would wait for a reader) or a link
  // there leaves the record unwritten, and the process still ends by its fault.
  struct stat st {};
  if (::lstat(place->path, &st) == 0 && !S_ISREG(st.st_mode)) return;
  // Written beside it and renamed over it: a kill while it was written (a stop's SIGKILL, a
  // full disk's SIGXFSZ) left a record cut short, stored so at the next start, in place of a
  // whole one not stored yet. Only this process writes the temporary file.
  ::unlink(place->temporary);
  const int fd = ::open(place->temporary,
                        O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char when[64];
  cReportBuffer::FormatFileTime(::time(nullptr), FlightTimeOffset(), when, sizeof when);
  const bool whole = WriteAll(fd, when, std::strlen(when)) && WriteAll(fd, "\n", 1) &&
                     WriteAll(fd, g_recorded.text, g_recorded.size) && ::fsync(fd) == 0;
  ::close(fd);
  // One cut by a full disk still goes in where there is no record: it names the crash.
  const bool put = whole || ::access(place->path, F_OK) != 0;
  if (!put || ::rename(place->temporary, place->path) != 0) ::unlink(place->temporary);
}

bool TesselStoreRecordedCrash(const char* exeName) {
  const std::string path = RecordPath(exeName);
  std::string text;
  // Read without waiting: a pipe in the record's place would hold the start for ever.
  if (path.empty() || !ReadReportedHomeFile(path, platform::kSettingsFileBytes, text)) return false;
  const size_t lineEnd = std::min(text.find('\n'), text.size());
  const std::string when = text.substr(0, lineEnd);
  const std::string status = text.substr(std::min(lineEnd + 1, text.size()));
  platform::RegistryKey key;
  if (!key.Open(std::string("Software/") + exeName) ||
      !key.Set({{"crash", status}, {"crashtime", when}})) {
    std::cout << "Could not Write registry." << std::endl;
    return false;
  }
  std::remove(path.c_str());
  return true;
}

void TesselRegistryTime(const char* name) {
  cTesselValues::Instance().WriteRegistryValues(
      {{name, platform::LocalTimeNow(platform::kFileTimeFormat)}});
}
