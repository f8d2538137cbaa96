#include "tessel/host/link_census.h"

#include <algorithm>

#include "tessel/contracts/netlib.h"
#include "tessel/host/tessel.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/link/net_help.h"

namespace {

void AddQueue(stLinkCensus& census, int side, cNetHelp* queue, iSend* link) {
  if (queue != nullptr) {
    census.queueRecords[side] += queue->GetQueued();
    census.queueBytes[side] += queue->GetQueuedBytes();
  }
  if (link != nullptr) census.unsentBytes[side] += link->GetUnsentBytes();
}

}  // namespace

stLinkCensus TakeLinkCensus(cTessel& host) {
  stLinkCensus census;
  for (cEasyServer* server : host.Servers()) {
    iServer* net = server->GetNetServer();
    const uint32_t open = net != nullptr ? static_cast<uint32_t>(net->GetLinkNum()) : 0;
    iAccountManagerServer* accounts = server->GetAMServer();
    const uint32_t logged = std::min(open, accounts != nullptr ? accounts->GetAccountNum() : 0);
    census.serverLoggedIn += logged;
    census.serverLoggingIn += open - logged;
    AddQueue(census, stLinkCensus::kServer, server->GetBridgeServer()->GetNetHelp(), nullptr);
    if (net != nullptr) census.unsentBytes[stLinkCensus::kServer] += net->GetUnsentBytes();
  }
  for (cEasyClient* client : host.Clients()) {
    cBridgeClient* bridge = client->GetBridgeClient();
    iClient* net = client->GetNetClient();
    if (bridge->IsLogin())
      ++census.clientLoggedIn;
    else if (net != nullptr && net->IsConnect())
      ++census.clientLoggingIn;
    else
      ++census.clientDown;
    AddQueue(census, stLinkCensus::kClient, bridge->GetNetHelp(), net);
  }
  return census;
}
