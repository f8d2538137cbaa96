// The exported functions of the network library.
#include "netlib/net_client.h"
#include "netlib/net_server.h"
#include "netlib/net_service.h"
#include "tessel/contracts/netlib.h"

int InitSocket() {
  netlib::cNetService::Instance().Start();
  return 1;
}

void Net_SetExeName(std::string& name) {
  netlib::cNetService::Instance().SetExeName(name);
}

iServer* Net_CreateServer() {
  return netlib::cNetServer::Create();
}

iClient* Net_CreateClient(int type) {
  if (type != 0) return nullptr;
  return netlib::cNetClient::Create();
}
