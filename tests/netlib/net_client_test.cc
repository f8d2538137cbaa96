#include "netlib/net_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "testkit/net_recorder.h"

namespace {

using namespace testkit;

// A connect to a closed port reports its error as a connect result; without Init or after
// Stop there is nothing to connect.
TEST(NetClient, AConnectToAClosedPortReportsItsErrorAsAConnectResult) {
  cNetRecorder srec, refused;
  const unsigned short port = cServerScope(srec).port;  // closed again at once
  cClientScope late(refused, port);
  EXPECT_FALSE(late.connected);
  EXPECT_EQ(refused.Snapshot().at(0).Word(1), uint32_t(ECONNREFUSED));
  EXPECT_EQ(refused.Snapshot().at(0).NoticeIp(), "127.0.0.1");
  EXPECT_EQ(Send(late.client, MakeRecord(1001, "nobody")), 0);
  iClient* bare = Net_CreateClient(0);
  EXPECT_EQ(bare->Connect("127.0.0.1", port), 0);
  bare->Release();
  late.client->Stop();
  EXPECT_EQ(late.client->Connect("127.0.0.1", port), 0);
}

TEST(NetClient, ReleaseWhileConnectingOrSendingDeliversNothingLater) {
  cNetRecorder srec;
  cServerScope s(srec);
  for (int round = 0; round < 20; ++round) {
    cNetRecorder crec;
    iClient* client = Net_CreateClient(0);
    stClientInfo info;
    ASSERT_EQ(client->Init(&info, &crec), 1);
    client->Connect("127.0.0.1", s.port);
    if (round % 2) {
      crec.WaitClientState(NetState_ConnectResult);
      auto record = MakeRecord(1001, std::string(1000, 'r'));
      for (int i = 0; i < 100; ++i) Send(client, record);
      s.server->SendToAll(reinterpret_cast<const stMsg*>(record.data()), record.size());
    }
    client->Release();
    const size_t seen = crec.Snapshot().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(crec.Snapshot().size(), seen) << "a delivery after Release";
  }
}

}  // namespace
