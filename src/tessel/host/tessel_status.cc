#include "tessel/host/tessel_status.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ostream>
#include <streambuf>

#include "platform/local_time.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd.h"
#include "tessel/core/tessel_values.h"

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
    status.Add(cCmd::CopyCurCmdText(piece, sizeof piece) ? piece : "(locked)");
    status.Add("\nlast input cmd ");
    status.Add(cTesselCmd::Instance().CopyCurInput(piece, sizeof piece) ? piece : "(locked)");
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
}

// Runs inside the fatal-signal handler after the report is written: the status first, without
// allocating; the registry, which allocates, last.
void TesselRecordCrash() {
  if (!g_hasRecorded.load()) {
    FormatStatus(g_recorded);
    g_hasRecorded = true;
  }
  cTesselValues::Instance().WriteRegistryValues(
      {{"crash", std::string(g_recorded.text, g_recorded.size)},
       {"crashtime", platform::LocalTimeNow(platform::kFileTimeFormat)}});
}

void TesselRegistryTime(const char* name) {
  cTesselValues::Instance().WriteRegistryValues(
      {{name, platform::LocalTimeNow(platform::kFileTimeFormat)}});
}
