#include "tessel/host/cmd_watch.h"

#include <cstdio>

#include "tessel/contracts/netlib.h"
#include "tessel/core/flight_recorder.h"
#include "tessel/core/worker_thread.h"
#include "tessel/host/metrics.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/ostream_cmd.h"

cCmdWatch& cCmdWatch::Instance() {
  static cCmdWatch watch;
  return watch;
}

void cCmdWatch::Requester(char* out, std::size_t size) {
  ostreamCmd& gout = get_gout();
  iSend* link = gout.GetLink();
  if (gout.IsLocalCmd() || link == nullptr) {
    std::snprintf(out, size, "console");
    return;
  }
  const char* account = "";
  auto* server = gout.GetBridgeAs<cBridgeServer>();
  iAccountManagerServer* accounts = server != nullptr ? server->GetAMServer() : nullptr;
  if (iAccount* a = accounts != nullptr ? accounts->GetAccount(gout.GetLinkID()) : nullptr)
    account = a->GetName();
  std::snprintf(out, size, "%s%s%s#%u", account, *account ? "@" : "", link->GetName(),
                gout.GetLinkID());
}

void cCmdWatch::OnCmdBegin(cCmd&, const char* shownText) {
  char requester[sizeof stFlightCmd::requester];
  Requester(requester, sizeof requester);
  FlightRecordCmd(shownText, requester);
}

void cCmdWatch::OnCmdEnd(cCmd& group, std::uint64_t nanoseconds) {
  TESSEL_ASSERT_WORKER();  // the metrics' command counts have one writer
  cMetrics& metrics = cMetrics::Instance();
  if (metrics.IsOn()) metrics.NoteCmd(group, nanoseconds);
}
