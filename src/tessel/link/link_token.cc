#include "tessel/link/link_token.h"

#include "tessel/contracts/netlib.h"
#include "tessel/core/host.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/ostream_cmd.h"

stLinkToken ServingToken() {
  stLinkToken token;
  ostreamCmd& out = get_gout();
  auto* bridge = out.GetBridgeAs<cBridge>();
  if (bridge == nullptr || out.GetLink() == nullptr) return token;
  token.local = false;
  token.serverSide = out.GetBridgeAs<cBridgeServer>() != nullptr;
  token.bridgeName = bridge->GetNameStr();
  token.linkId = out.GetLinkID();
  token.serial = LinkSerial(*bridge, out.GetLink());
  token.level = GetServingCmdLevel();
  token.returnPath = GetReturnPath();
  return token;
}

uint64_t LinkSerial(cBridge& bridge, iSend* link) {
  if (link == nullptr) return 0;
  if (auto* server = dynamic_cast<cBridgeServer*>(&bridge))
    return server->GetLinkSerial(link->GetID());
  if (auto* client = dynamic_cast<cBridgeClient*>(&bridge))
    return client->GetNetClientConnect() == link ? client->GetConnectCount() : 0;
  return 0;
}

cBridge* FindTokenBridge(const stLinkToken& token) {
  if (token.local) return nullptr;
  const char* name = token.bridgeName.c_str();
  if (token.serverSide) return GetHost().GetBridgeServer(name);
  return GetHost().GetBridgeClient(name);
}

iSend* FindTokenLink(cBridge& bridge, const stLinkToken& token) {
  iSend* link = nullptr;
  if (auto* server = dynamic_cast<cBridgeServer*>(&bridge)) {
    iServer* net = server->GetNetServer();
    link = net != nullptr ? net->GetLink(token.linkId) : nullptr;
  } else if (auto* client = dynamic_cast<cBridgeClient*>(&bridge)) {
    link = client->GetNetClientConnect();
  }
  return link != nullptr && LinkSerial(bridge, link) == token.serial ? link : nullptr;
}

bool ServeAgain(const stLinkToken& token, cBridge* bridge, const std::function<void()>& body) {
  if (token.local) {
    body();
    return true;
  }
  if (bridge == nullptr) bridge = FindTokenBridge(token);
  iSend* link = bridge != nullptr ? FindTokenLink(*bridge, token) : nullptr;
  if (link == nullptr) return false;
  stBindMsg msg;
  msg.send = link;
  ostreamCmd::cServeScope serving(&msg, bridge, token.level);
  SetReturnPath(token.returnPath);
  body();
  return true;
}
