#include "tessel/host/cmd_watch.h"

#include <charconv>

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

namespace {

// Appends `text` at `at`, leaving room for the final zero before `end`.
char* Put(char* at, char* end, const char* text) {
  while (*text != '\0' && at + 1 < end) *at++ = *text++;
  return at;
}

}  // namespace

// "account@link#id", or "console": made for every command, so without formatting calls.
void cCmdWatch::Requester(char* out, std::size_t size) {
  if (size == 0) return;
  char* const end = out + size;
  ostreamCmd& gout = get_gout();
  iSend* link = gout.GetLink();
  if (gout.IsLocalCmd() || link == nullptr) {
    *Put(out, end, "console") = '\0';
    return;
  }
  const char* account = "";
  auto* server = gout.GetBridgeAs<cBridgeServer>();
  iAccountManagerServer* accounts = server != nullptr ? server->GetAMServer() : nullptr;
  if (iAccount* a = accounts != nullptr ? accounts->GetAccount(gout.GetLinkID()) : nullptr)
    account = a->GetName();
  char id[16] = "#";
  *std::to_chars(id + 1, id + sizeof id - 1, gout.GetLinkID()).ptr = '\0';
  char* at = Put(out, end, account);
  if (*account != '\0') at = Put(at, end, "@");
  at = Put(at, end, link->GetName());
  *Put(at, end, id) = '\0';
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
