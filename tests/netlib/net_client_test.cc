#include "netlib/net_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "netlib/net_test_util.h"

namespace {

using namespace nettest;

bool WaitRecord(cRecorder& rec, uint16_t type, const std::string& body) {
  return rec.WaitAny([&](const stDelivery& d) {
    return IsRecord(d, type) && std::string(d.bytes.data() + 4, d.bytes.size() - 4) == body;
  });
}

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
}

TEST(NetClient, ConnectNeedsInitAndFailsAfterStop) {
  cRecorder crec;
  iClient* client = Net_CreateClient(0);
  EXPECT_EQ(client->Connect("127.0.0.1", 1), 0);
  stClientInfo info;
  info.name = "probe";
  ASSERT_EQ(client->Init(&info, &crec), 1);
  EXPECT_STREQ(client->GetName(), "probe");
  EXPECT_EQ(client->GetID(), 0);
  client->Stop();
  EXPECT_EQ(client->Connect("127.0.0.1", 1), 0);
  client->Release();
  EXPECT_EQ(Net_CreateClient(1), nullptr);
}

TEST(NetClient, AHostNameIsResolved) {
  cRecorder srec, crec;
  cServerScope s(srec);
  iClient* client = Net_CreateClient(0);
  stClientInfo info;
  ASSERT_EQ(client->Init(&info, &crec), 1);
  ASSERT_EQ(client->Connect("localhost", s.port), 1);
  ASSERT_TRUE(crec.WaitClientState(NetState_ConnectResult));
  EXPECT_EQ(crec.Snapshot().at(0).Word(1), 0u);
  client->Release();
}

TEST(NetClient, RecordsFromTheServerArriveByteExactAndRepliesGoBack) {
  cRecorder srec, crec;
  cServerScope s(srec);
  cClientScope c(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  std::string big(50000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  ASSERT_EQ(Send(s.server->GetLink(1), MakeRecord(1001, big)), 1);
  ASSERT_EQ(Send(s.server->GetLink(1), MakeRecord(1002, "")), 1);
  ASSERT_TRUE(WaitRecord(crec, 1002, ""));
  EXPECT_TRUE(WaitRecord(crec, 1001, big));
  ASSERT_EQ(Send(c.client, MakeRecord(1003, "reply")), 1);
  EXPECT_TRUE(WaitRecord(srec, 1003, "reply"));
  // A record of no bytes at all is a record too.
  ASSERT_EQ(c.client->Send(nullptr, 0), 1);
  EXPECT_TRUE(srec.WaitAny([](const stDelivery& d) { return d.kind == 2 && d.bytes.empty(); }));
  std::ostringstream os;
  c.client->Trace(os);
  EXPECT_NE(os.str().find("127.0.0.1:" + std::to_string(s.port)), std::string::npos);
}

TEST(NetClient, ConnectingAgainReplacesTheLinkWithoutADownNotice) {
  cRecorder srec, crec;
  cServerScope s(srec);
  cClientScope c(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  ASSERT_EQ(c.client->Connect("127.0.0.1", s.port), 1);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  ASSERT_TRUE(crec.WaitFor([](const std::vector<stDelivery>& all) {
    int results = 0;
    for (const auto& d : all) results += d.kind == 1 && d.Word(0) == NetState_ConnectResult;
    return results == 2;
  }));
  EXPECT_FALSE(crec.WaitClientState(NetState_ServerDown, 100));
  EXPECT_TRUE(c.client->IsConnect());
}

TEST(NetClient, AnEncodedLinkReportsTheAgreedEncodingAfterConnecting) {
  cRecorder srec, crec;
  cServerScope s(srec);
  stClientInfo info;
  info.net.word[stNetParam::NetParam_Encode] = 1;
  cClientScope c(crec, s.port, info);
  ASSERT_TRUE(c.connected);
  ASSERT_TRUE(crec.WaitClientState(NetState_EncodeOk));
  auto all = crec.Snapshot();
  EXPECT_EQ(all[0].Word(0), NetState_ConnectResult);
  EXPECT_EQ(all[1].Word(0), NetState_EncodeOk);
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
  struct stCase {
    const char* name;
    bool serverSendsOnce;
    bool pings;
    uint32_t reason;  // 0: stays up
  };
  const stCase cases[] = {
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
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (std::chrono::steady_clock::now() < until) {
    for (size_t i = 0; i < clients.size(); ++i) {
      if (cases[i].pings) clients[i]->client->Ping();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    cRecorder& rec = *recs[i];
    if (!cases[i].reason) {
      EXPECT_TRUE(clients[i]->client->IsConnect());
      EXPECT_EQ(
          rec.IndexOf([](const stDelivery& d) { return IsClientState(d, NetState_ServerDown); }),
          -1);
      continue;
    }
    ASSERT_TRUE(rec.WaitClientState(NetState_ServerDown));
    int error = rec.IndexOf([&](const stDelivery& d) {
      return d.kind == 1 && d.Word(0) == NetState_RecvError && d.Word(1) == cases[i].reason;
    });
    int down = rec.IndexOf([](const stDelivery& d) {
      return d.kind == 1 && d.Word(0) == NetState_ServerDown && d.Word(1) == ETIMEDOUT;
    });
    EXPECT_GE(error, 0);
    EXPECT_GT(down, error);
    EXPECT_FALSE(clients[i]->client->IsConnect());
    // The server sees its peer leave.
    EXPECT_TRUE(srec.WaitServerEvent(static_cast<unsigned>(i + 1), NetEvent_Disconnected));
  }
}

}  // namespace
