#include "tessel/host/tessel_status.h"

#include <atomic>
#include <mutex>
#include <sstream>

#include "platform/local_time.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd.h"
#include "tessel/core/login_text.h"
#include "tessel/core/tessel_values.h"

namespace {

std::atomic<int> g_runStage{RunStage_Idle};

}  // namespace

void SetRunStage(int stage) {
  g_runStage.store(stage, std::memory_order_relaxed);
}
int GetRunStage() {
  return g_runStage.load(std::memory_order_relaxed);
}

std::string TesselCrashStatus() {
  const int stage = GetRunStage();
  std::ostringstream os;
  os << "【严重错误】exception catched status: " << stage << "\n";
  if (stage == RunStage_Msg || stage == RunStage_Cmd) {
    os << "last cmd " << cCmd::CurCmdText() << "\n";
    os << "last input cmd " << MaskCmdText(cTesselCmd::Instance().GetCurInput()) << "\n";
  } else if (stage == RunStage_Timer) {
    os << "in run "
       << "\n";
    cTimerManager::Instance().ReportCrashToStream(os);
  }
  return os.str();
}

void TesselReportCrash() {
  tessel_write(tessel_fetalerror(), TesselCrashStatus());
}

void TesselRecordCrash() {
  const std::string status = TesselCrashStatus();
  cTesselValues::Instance().WriteRegistryValues(
      {{"crash", status}, {"crashtime", platform::LocalTimeNow(platform::kFileTimeFormat)}});
}

void TesselRegistryTime(const char* name) {
  cTesselValues::Instance().WriteRegistryValues(
      {{name, platform::LocalTimeNow(platform::kFileTimeFormat)}});
}
