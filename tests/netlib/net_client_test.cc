#include "netlib/net_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "testkit/net_recorder.h"

namespace {

using namespace nettest;

TEST(NetClient, AConnectToAClosedPortReportsItsErrorAsAConnectResult) {
  unsigned short port;
  {
    cRecorder srec;
    cServerScope s(srec);
    port = s.port;
  }
  cRecorder crec;
  cClientScope c(crec, port);
  EXPECT_FALSE(c.connected);
  auto notice = crec.Snapshot().at(0);
  EXPECT_EQ(notice.Word(0), NetState_ConnectResult);
  EXPECT_EQ(notice.Word(1), static_cast<uint32_t>(ECONNREFUSED));
  EXPECT_EQ(notice.NoticeIp(), "127.0.0.1");
  EXPECT_EQ(Send(c.client, MakeRecord(1001, "nobody")), 0);
  // Without Init, or after Stop, there is nothing to connect.
  iClient* bare = Net_CreateClient(0);
  EXPECT_EQ(bare->Connect("127.0.0.1", port), 0);
  bare->Release();
  c.client->Stop();
  EXPECT_EQ(c.client->Connect("127.0.0.1", port), 0);
}

// The second connect (by host name) replaces the first link: the server sees the old one go,
// the client sees two connect results and no link-down notice.
TEST(NetClient, ConnectingAgainReplacesTheLinkWithoutADownNotice) {
  cRecorder srec, crec;
  cServerScope s(srec);
  cClientScope c(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  ASSERT_EQ(c.client->Connect("localhost", s.port), 1);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  auto result = [](const stDelivery& d) { return IsClientState(d, NetState_ConnectResult); };
  ASSERT_TRUE(crec.WaitCount(result, 2));
  EXPECT_FALSE(crec.WaitClientState(NetState_ServerDown, 100));
  EXPECT_TRUE(c.client->IsConnect());
}

TEST(NetClient, ReleaseWhileConnectingOrSendingDeliversNothingLater) {
  cRecorder srec;
  cServerScope s(srec);
  for (int round = 0; round < 20; ++round) {
    cRecorder crec;
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
    crec.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(crec.Late(), 0);
  }
}

// A client cuts a link on which the server sent nothing for too long, reporting the idle
// reason as a receive error and then the link down; answers to its pings keep it up.
TEST(NetClient, AClientCutsASilentServerWithTheIdleReasonAndPingsKeepItUp) {
  const struct {
    const char* name;
    bool serverSendsOnce;
    bool pings;
    uint32_t reason;  // 0: stays up
  } cases[] = {
      {"nothing since connect", false, false, NetReason_NoMsgAfterConnect},
      {"one record, then nothing", true, false, NetReason_Idle},
      {"pinging", false, true, 0},
  };
  cRecorder srec;
  cServerScope s(srec);
  stClientInfo info;
  info.net.word[stNetParam::NetParam_IdleMs] = 300;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = 300;
  std::vector<std::unique_ptr<cRecorder>> recs;
  std::vector<std::unique_ptr<cClientScope>> clients;
  for (const auto& test : cases) {
    recs.push_back(std::make_unique<cRecorder>());
    clients.push_back(std::make_unique<cClientScope>(*recs.back(), s.port, info));
    ASSERT_TRUE(clients.back()->connected) << test.name;
    unsigned id = static_cast<unsigned>(clients.size());
    ASSERT_TRUE(srec.WaitServerEvent(id, NetEvent_Connected));
    if (test.serverSendsOnce) {
      ASSERT_EQ(Send(s.server->GetLink(id), MakeRecord(1001, "x")), 1);
    }
  }
  for (int i = 0; i < 20; ++i) {
    clients[2]->client->Ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    cRecorder& rec = *recs[i];
    auto down = [](const stDelivery& d) {
      return IsClientState(d, NetState_ServerDown) && d.Word(1) == ETIMEDOUT;
    };
    if (!cases[i].reason) {
      EXPECT_TRUE(clients[i]->client->IsConnect());
      EXPECT_EQ(
          rec.IndexOf([](const stDelivery& d) { return IsClientState(d, NetState_ServerDown); }),
          -1);
      continue;
    }
    ASSERT_TRUE(rec.WaitAny(down));
    int error = rec.IndexOf([&](const stDelivery& d) {
      return IsClientState(d, NetState_RecvError) && d.Word(1) == cases[i].reason;
    });
    EXPECT_GE(error, 0);
    EXPECT_GT(rec.IndexOf(down), error);
    EXPECT_FALSE(clients[i]->client->IsConnect());
    EXPECT_TRUE(srec.WaitServerEvent(static_cast<unsigned>(i + 1), NetEvent_Disconnected));
  }
}

}  // namespace
