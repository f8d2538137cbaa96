#include "netlib/net_server.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "netlib/net_frame.h"
#include "testkit/net_recorder.h"

namespace {

using namespace testkit;

// Connect and disconnect reach both sides as notices; a disconnect by the client has the
// system's reason, a cut of one link and the stop of the server send their reason first.
TEST(NetServer, ConnectAndDisconnectReachBothSidesAsNoticesWithTheirReason) {
  for (uint32_t reason : {NetReason_System, NetReason_GMForbid, NetReason_ServerClose}) {
    cNetRecorder srec, crec;
    cServerScope s(srec);
    stServerInfo same = cServerScope::Defaults();
    same.port = s.port;
    EXPECT_EQ(cServerScope(srec, same).port, 0) << "the port is taken";
    cClientScope c(crec, s.port);
    ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
    EXPECT_TRUE(IsServerEvent(srec.Snapshot().at(0), NetEvent_Created, 1));
    EXPECT_EQ(s.server->GetLinkNum(), 1);
    EXPECT_EQ(crec.Snapshot().front().NoticeIp(), "127.0.0.1");
    EXPECT_STREQ(s.server->GetLink(1)->GetIP(), "127.0.0.1");
    if (reason == NetReason_System) c.client->Disconnect();
    if (reason == NetReason_GMForbid) s.server->GetLink(1)->Disconnect(reason);
    if (reason == NetReason_ServerClose) s.server->Stop();
    ASSERT_TRUE(crec.WaitClientState(NetState_ServerDown));
    EXPECT_EQ(crec.ReasonBeforeDown(reason), reason != NetReason_System);
    EXPECT_EQ(c.client->IsConnect(), 0);
    if (reason == NetReason_ServerClose) continue;
    ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
    EXPECT_EQ(srec.DisconnectReason(1), int(reason));
    EXPECT_EQ(s.server->GetLinkNum(), 0);
  }
}

// Holders let go of a link whenever they are done with it: an open link stays up for the
// others; once down and released its id is free for reuse and its object stays safe for a
// stale holder.
TEST(NetServer, ReleasedLinksStayUpUntilDownAndTheirIdsAreReusedOnlyThen) {
  cNetRecorder srec, crec;
  cServerScope s(srec);
  auto first = std::make_unique<cClientScope>(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  iServerLink* link = s.server->GetLink(1);
  link->ReleaseLink();
  link->ReleaseLink();
  EXPECT_TRUE(link->IsConnect());
  ASSERT_EQ(Send(link, MakeRecord(1001, "still up")), 1);
  ASSERT_TRUE(crec.WaitAny([](const stDelivery& d) { return IsRecord(d, 1001); }));
  cClientScope second(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  iServerLink* stale = s.server->GetLink(2);
  first.reset();
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  EXPECT_EQ(s.server->GetLink(1), nullptr);
  EXPECT_EQ(Send(link, MakeRecord(1001, "after the end")), 0);
  second.client->Disconnect();
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Disconnected));
  ASSERT_EQ(s.server->GetLink(2), stale) << "down, not yet released: still there";
  EXPECT_EQ(Send(stale, MakeRecord(1001, "late")), 0);
  cClientScope third(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(3, NetEvent_Connected));
  stale->ReleaseLink();
  EXPECT_EQ(s.server->GetLink(2), nullptr);
  EXPECT_EQ(Send(stale, MakeRecord(1001, "after release")), 0);
  EXPECT_EQ(stale->IsConnect(), 0);
  EXPECT_EQ(s.server->GetLinkNum(), 1);
}

// Only allowed addresses stay (an empty list admits all); after ForbitAccept new links are
// refused and open ones kept: records of no bytes at all still travel, SendToAll reaches both.
TEST(NetServer, OnlyAllowedAddressesStayAndForbitAcceptRefusesNewLinks) {
  cNetRecorder srec, crec, crec2, crec3;
  cServerScope s(srec);
  s.server->SetIP({"127.0.0.1"});
  stClientInfo from2;
  from2.words[0] = 0x7F000002;  // bind the client to 127.0.0.2
  {
    cClientScope refused(crec, s.port, from2);
    ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
    EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_InvalidIP));
    EXPECT_TRUE(crec.ReasonBeforeDown(NetReason_InvalidIP));
    EXPECT_FALSE(srec.WaitServerEvent(1, NetEvent_Connected, 50));
  }
  cClientScope allowed(crec2, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  s.server->SetIP({});
  cClientScope anyone(crec3, s.port, from2);
  ASSERT_TRUE(srec.WaitServerEvent(3, NetEvent_Connected));
  EXPECT_STREQ(s.server->GetLink(3)->GetIP(), "127.0.0.2");
  s.server->ForbitAccept();
  // The acceptor closes on the server's strand; a connect after that is refused.
  bool refused = false;
  for (int i = 0; i < 50 && !refused; ++i)
    refused = !cClientScope(crec, s.port).connected ||
              (std::this_thread::sleep_for(std::chrono::milliseconds(20)), false);
  EXPECT_TRUE(refused);
  ASSERT_EQ(allowed.client->Send(nullptr, 0), 1);
  EXPECT_TRUE(srec.WaitAny([](const stDelivery& d) { return d.kind == 2 && d.bytes.empty(); }));
  auto all = MakeRecord(1002, "all");
  EXPECT_EQ(s.server->SendToAll(reinterpret_cast<const stMsg*>(all.data()), all.size()), 2);
  for (cNetRecorder* r : {&crec2, &crec3})
    EXPECT_TRUE(r->WaitAny([](auto& d) { return IsRecord(d, 1002); }));
}

TEST(NetServer, IdleLinksAreCutWithReasonsElevenAndTwelveWhilePingedOnesStay) {
  cNetRecorder srec, silentRec, quietRec, pingRec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_IdleMs] = 300;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = 300;
  cServerScope s(srec, info);
  cClientScope silent(silentRec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  cClientScope quiet(quietRec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  ASSERT_EQ(Send(quiet.client, MakeRecord(1001, "once")), 1);
  cClientScope pinging(pingRec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(3, NetEvent_Connected));
  for (int i = 0; i < 24; ++i) {
    pinging.client->Ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Disconnected));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_NoMsgAfterConnect));
  EXPECT_EQ(srec.DisconnectReason(2), static_cast<int>(NetReason_Idle));
  EXPECT_EQ(srec.DisconnectReason(3), -1);
  EXPECT_GT(pinging.client->GetPingTime(), 0u);
  EXPECT_TRUE(silentRec.ReasonBeforeDown(NetReason_NoMsgAfterConnect));
  // Pings are answered inside the library: nothing of them reaches either callback.
  EXPECT_EQ(srec.Count([](const stDelivery& d) { return d.id == 3 && d.kind == 2; }), 0u);
  EXPECT_EQ(pingRec.Count([](const stDelivery& d) { return d.kind == 2; }), 0u);
}

// A lying length prefix (within the largest record) makes the server keep only what arrived;
// random bytes from raw sockets never crash or stall it.
TEST(NetServer, HostileRawPeersNeitherBuyMemoryNorCrashOrStallTheServer) {
  cNetRecorder srec, crec;
  cServerScope s(srec);
  const int kPeers = 60;
#ifndef TESSEL_SANITIZED
  size_t before = mallinfo2().uordblks;
#endif
  std::vector<std::unique_ptr<cRawPeer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<cRawPeer>(s.port));
    char frame[4 + 10] = {};
    netlib::PutFrameHeader(frame, 102400, false);
    ASSERT_TRUE(peers.back()->Write(frame, sizeof frame));
  }
  ASSERT_TRUE(srec.WaitServerEvent(kPeers, NetEvent_Connected));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
#ifndef TESSEL_SANITIZED
  size_t grown = mallinfo2().uordblks - before;
  EXPECT_LT(grown, size_t(kPeers) * 40 * 1024) << "the server trusted the prefixes";
#endif
  EXPECT_EQ(s.server->GetLinkNum(), kPeers);
  EXPECT_EQ(srec.Count([](const stDelivery& d) { return d.kind == 2; }), 0u);
  std::mt19937 rng(7);
  int cut = 0;
  for (int round = 0; round < 40; ++round) {
    cRawPeer peer(s.port);
    std::vector<char> junk(4 + rng() % 3000);
    for (auto& b : junk) b = static_cast<char>(rng());
    if (round % 4 == 1) netlib::PutLe32(junk.data(), 0xfffffff0u);  // internal bit, absurd size
    if (round % 4 == 2) netlib::PutLe32(junk.data(), 0x7fffffffu);
    peer.Write(junk);
    std::vector<char> back;
    if (peer.ReadUntil(back, round % 4 == 0 ? 100 : 2000)) ++cut;
  }
  EXPECT_GE(cut, 20);
  cClientScope c(crec, s.port);
  ASSERT_TRUE(c.connected);
  ASSERT_EQ(Send(c.client, MakeRecord(1001, "fine")), 1);
  EXPECT_TRUE(srec.WaitAny([](const stDelivery& d) { return IsRecord(d, 1001); }));
}

TEST(NetServer, ReleaseDuringTrafficNeverHangsAndDeliversNothingAfterwards) {
  for (int round = 0; round < 3; ++round) {
    cNetRecorder srec, crec;
    iServer* server = Net_CreateServer();
    stServerInfo info = cServerScope::Defaults();
    ASSERT_EQ(server->Init(&info, &srec), 1);
    std::vector<std::unique_ptr<cClientScope>> clients;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
      clients.push_back(std::make_unique<cClientScope>(crec, server->GetPort()));
      senders.emplace_back([&stop, client = clients.back()->client] {
        auto record = MakeRecord(1001, std::string(200, 'x'));
        for (int i = 0; i < 20000 && !stop.load(); ++i)
          client->GetUnsentBytes() > 256 * 1024 ? std::this_thread::yield()
                                                : void(Send(client, record));
      });
    }
    ASSERT_TRUE(srec.WaitRecords(200));
    // Another thread keeps sending to every link while the server goes away.
    std::thread echo([&] {
      auto r = MakeRecord(1003, "back");
      for (int i = 0; i < 200; ++i)
        server->SendToAll(reinterpret_cast<const stMsg*>(r.data()), r.size());
    });
    echo.join();
    if (round == 0) server->Stop();
    server->Release();
    const size_t seen = srec.Snapshot().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(srec.Snapshot().size(), seen) << "a delivery after Release";
    stop.store(true);
    for (auto& t : senders) t.join();
    EXPECT_TRUE(crec.WaitClientState(NetState_ServerDown));
  }
}

}  // namespace
