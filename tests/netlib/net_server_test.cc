#include "netlib/net_server.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>

#include "netlib/net_frame.h"
#include "netlib/net_lookup.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/net_recorder.h"

namespace {

using namespace testkit;

// Connect and disconnect reach both sides as notices; a disconnect by the client has the
// system's reason, a cut of one link and the stop of the server send their reason first. A
// connect to the closed port reports its error as a connect result; after Stop a client has
// nothing to connect.
TEST(NetServer, ConnectAndDisconnectReachBothSidesAsNoticesWithTheirReason) {
  for (uint32_t reason : {NetReason_System, NetReason_GMForbid, NetReason_ServerClose}) {
    cNetRecorder srec, crec;
    cServerScope s(srec);
    stServerInfo same = cServerScope::Defaults();
    same.port = s.port;
    EXPECT_EQ(cServerScope(srec, same).port, 0) << "the port is taken";
    cClientScope c(crec, s.port);
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
    EXPECT_TRUE(ServerEvent(NetEvent_Created, 1)(srec.Snapshot().at(0)));
    EXPECT_EQ(s.server->GetLinkNum(), 1);
    EXPECT_EQ(crec.Snapshot().front().NoticeIp(), "127.0.0.1");
    EXPECT_STREQ(s.server->GetLink(1)->GetIP(), "127.0.0.1");
    if (reason == NetReason_System) c.client->Disconnect();
    if (reason == NetReason_GMForbid) s.server->GetLink(1)->Disconnect(reason);
    if (reason == NetReason_ServerClose) s.server->Stop();
    ASSERT_TRUE(crec.WaitCount(ClientState(NetState_ServerDown)));
    EXPECT_EQ(crec.ReasonBeforeDown(reason), reason != NetReason_System);
    EXPECT_EQ(c.client->IsConnect(), 0);
    if (reason != NetReason_ServerClose) {
      ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
      EXPECT_EQ(srec.DisconnectReason(1), int(reason));
      EXPECT_EQ(s.server->GetLinkNum(), 0);
      continue;
    }
    cNetRecorder refused;
    cClientScope late(refused, s.port);
    EXPECT_FALSE(late.connected);
    EXPECT_EQ(refused.Snapshot().at(0).Word(1), uint32_t(ECONNREFUSED));
    EXPECT_EQ(refused.Snapshot().at(0).NoticeIp(), "127.0.0.1");
    // Connects one behind the other, each ending the last while that one may be failing, and
    // another thread's records over the largest are refused and its address read meanwhile.
    std::thread big([&late, over = MakeRecord(1001, std::string(netlib::kDefaultMaxRecord, 'b'))] {
      for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(Send(late.client, over), 0);
        const std::string ip = late.client->GetIP();
        EXPECT_TRUE(ip == "127.0.0.1" || ip == "127.0.0.2") << ip;
      }
    });
    for (int i = 1; i <= 300; ++i) {
      late.client->Connect(i % 2 ? "127.0.0.2" : "127.0.0.1", s.port);
      std::this_thread::sleep_for(std::chrono::microseconds(40 * (i % 9)));
    }
    big.join();
    EXPECT_TRUE(refused.WaitCount([](auto& d) { return d.NoticeIp() == "127.0.0.1"; }, 2));
    EXPECT_EQ(Send(late.client, MakeRecord(1001, "nobody")), 0);
    late.client->Stop();
    EXPECT_EQ(late.client->Connect("127.0.0.1", s.port), 0);
  }
}

// A resolver that does not answer "silent.test" until the test ends and gives 127.0.0.1 for
// any other name; no query leaves the process.
std::atomic<bool> g_resolverFree{false};
int SilentResolver(const char* host, const char*, const addrinfo* hints, addrinfo** found) {
  for (int i = 0; std::string_view(host) == "silent.test" && !g_resolverFree && i < 6000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  addrinfo numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  return ::getaddrinfo("127.0.0.1", nullptr, &numeric, found);
}

// A host name whose resolver does not answer fails its connect at the connect's time-out with
// ETIMEDOUT, while another name's lookup goes on beside it and connects.
TEST(NetServer, AHostNameWhoseResolverDoesNotAnswerFailsTheConnectAtItsTimeOut) {
  netlib::cNetLookup::SetResolver(&SilentResolver);
  cNetRecorder srec, silentRec, namedRec;
  cServerScope s(srec);
  cClientScope silent(silentRec, s.port), named(namedRec, s.port);
  EXPECT_EQ(silent.client->Connect("silent.test", s.port), 1);
  EXPECT_EQ(named.client->Connect("named.test", s.port), 1);
  EXPECT_TRUE(namedRec.WaitCount(
      [](auto& d) { return ClientState(NetState_ConnectResult)(d) && d.Word(1) == 0; }, 2));
  ASSERT_TRUE(silentRec.WaitCount(ClientState(NetState_ConnectError), 1, 20000));
  EXPECT_EQ(silentRec.Snapshot().back().Word(1), uint32_t(ETIMEDOUT));
  g_resolverFree = true;
  netlib::cNetLookup::SetResolver(nullptr);
}

// Holders let go of a link whenever they are done with it: an open link stays up for the
// others; once down and released its id is free for reuse and its object stays safe for a
// stale holder.
TEST(NetServer, ReleasedLinksStayUpUntilDownAndTheirIdsAreReusedOnlyThen) {
  cNetRecorder srec, crec;
  cServerScope s(srec);
  auto first = std::make_unique<cClientScope>(crec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
  iServerLink* link = s.server->GetLink(1);
  link->ReleaseLink();
  link->ReleaseLink();
  EXPECT_TRUE(link->IsConnect());
  ASSERT_EQ(Send(link, MakeRecord(1001, "still up")), 1);
  ASSERT_TRUE(crec.WaitCount(RecordOf(1001)));
  cClientScope second(crec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  iServerLink* stale = s.server->GetLink(2);
  first.reset();
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  EXPECT_EQ(s.server->GetLink(1), nullptr);
  EXPECT_EQ(Send(link, MakeRecord(1001, "after the end")), 0);
  second.client->Disconnect();
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
  ASSERT_EQ(s.server->GetLink(2), stale) << "down, not yet released: still there";
  EXPECT_EQ(Send(stale, MakeRecord(1001, "late")), 0);
  cClientScope third(crec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 3)));
  stale->ReleaseLink();
  EXPECT_EQ(s.server->GetLink(2), nullptr);
  EXPECT_EQ(Send(stale, MakeRecord(1001, "after release")), 0);
  EXPECT_EQ(stale->IsConnect(), 0);
  EXPECT_EQ(s.server->GetLinkNum(), 1);
  const size_t before = mallinfo2().uordblks;  // gone and released, a link keeps no connection
  for (unsigned id = 4; id < 300; ++id, srec.Clear()) {
    cRawPeer{s.port};
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, id)));
    s.server->GetLink(id)->ReleaseLink();
  }
  EXPECT_LT(mallinfo2().uordblks, before + 296 * 700) << "its id's object (400 bytes) stays";
}

// Out of descriptors, a listening side says its first failed accept, not one at each retry, and
// how many failed once it accepts again. (A link of an earlier test closing meanwhile may free a
// descriptor for a moment: a second run of failures then.)
TEST(NetServer, AcceptsFailingForWantOfDescriptorsAreSaidOnceThenCounted) {
#ifdef TESSEL_SANITIZED
  GTEST_SKIP() << "a sanitizer's own checks need descriptors";
#endif
  cNetRecorder srec;
  cServerScope s(srec);
  const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(s.port), {htonl(INADDR_LOOPBACK)}, {}};
  testing::internal::CaptureStderr();
  if (testkit::cDescriptorLimit none; none.held) {
    EXPECT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    struct stat err {};  // held until the first failed accept was said, then through retries
    EXPECT_TRUE(WaitUntil([&] { return ::fstat(2, &err) == 0 && err.st_size > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
  }
  cRawPeer after(s.port);
  EXPECT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_LE(CountOf(said, "accept failed: Too many open files"), 2u) << said;
  EXPECT_TRUE(InOrder(said, {"Too many open files\n", " accepts again, after "})) << said;
  ::close(peer);
}

// A list whose addresses are all mistyped admits nobody: it was meant to narrow, not to open.
TEST(NetServer, AListOfNoValidAddressAdmitsNobody) {
  cNetRecorder srec, crec;
  cServerScope s(srec);
  s.server->SetIP({"127.0.0.l"});
  cClientScope refused(crec, s.port);
  EXPECT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
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
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
    EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_InvalidIP));
    EXPECT_TRUE(crec.ReasonBeforeDown(NetReason_InvalidIP));
    EXPECT_FALSE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1), 1, 50));
  }
  cClientScope allowed(crec2, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  s.server->SetIP({});
  cClientScope anyone(crec3, s.port, from2);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 3)));
  EXPECT_STREQ(s.server->GetLink(3)->GetIP(), "127.0.0.2");
  s.server->ForbitAccept();
  // The acceptor closes on the server's strand; a connect after that is refused.
  bool refused = false;
  for (int i = 0; i < 50 && !refused; ++i) {
    refused = !cClientScope(crec, s.port).connected;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(refused);
  ASSERT_EQ(allowed.client->Send(nullptr, 0), 1);
  auto emptyRecord = [](auto& d) { return d.kind == 2 && d.bytes.empty(); };
  EXPECT_TRUE(srec.WaitCount(emptyRecord));
  auto all = MakeRecord(1002, "all");
  EXPECT_EQ(s.server->SendToAll(reinterpret_cast<const stMsg*>(all.data()), all.size()), 2);
  for (cNetRecorder* r : {&crec2, &crec3}) EXPECT_TRUE(r->WaitCount(RecordOf(1002)));
}

TEST(NetServer, IdleLinksAreCutWithReasonsElevenAndTwelveWhilePingedOnesStay) {
  cNetRecorder srec, silentRec, quietRec, pingRec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_IdleMs] = 300;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = 300;
  cServerScope s(srec, info);
  cClientScope silent(silentRec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
  cClientScope quiet(quietRec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  ASSERT_EQ(Send(quiet.client, MakeRecord(1001, "once")), 1);
  cClientScope pinging(pingRec, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 3)));
  for (int i = 0; i < 24; ++i) {
    pinging.client->Ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_NoMsgAfterConnect));
  EXPECT_EQ(srec.DisconnectReason(2), static_cast<int>(NetReason_Idle));
  EXPECT_EQ(srec.DisconnectReason(3), -1);
  EXPECT_GT(pinging.client->GetPingTime(), 0u);
  EXPECT_TRUE(silentRec.ReasonBeforeDown(NetReason_NoMsgAfterConnect));
  // Pings are answered inside the library: nothing of them reaches either callback.
  EXPECT_EQ(srec.Count([](const stDelivery& d) { return d.id == 3 && d.kind == 2; }), 0u);
  EXPECT_EQ(pingRec.Count(RecordOf()), 0u);
}

// With a login deadline, links that never log in are cut (12) and, while the server is full, the
// oldest gives way to a newcomer; with none to give way, a burst of newcomers is refused with the
// reason record (26) and never passes the bound.
TEST(NetServer, LinksThatNeverLogInGiveWayOrAreCutAndAFullServerRefusesWithTheReason) {
  cNetRecorder srec;
  stServerInfo info = cServerScope::Defaults();
  info.maxlinks = 2;
  cServerScope s(srec, info);
  s.server->SetLoginDeadline(60000);
  cRawPeer guest(s.port);
  auto member = std::make_unique<cRawPeer>(s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  s.server->GetLink(2)->SetLogined();
  cRawPeer newcomer(s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  EXPECT_EQ(srec.DisconnectReason(1), int(NetReason_NoMsgAfterConnect));
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 3)));
  s.server->GetLink(3)->SetLogined();
  auto reasonOf = [](cRawPeer& peer) {
    std::vector<char> back;
    return peer.ReadUntil(back, 5000) && back.size() == 16 && back[4] == kNetDisconnectRecordType
               ? int(back[8])
               : -1;
  };
  std::vector<std::unique_ptr<cRawPeer>> burst;
  for (int i = 0; i < 6; ++i) burst.push_back(std::make_unique<cRawPeer>(s.port));
  for (auto& peer : burst) EXPECT_EQ(reasonOf(*peer), int(NetReason_ServerClose));
  EXPECT_EQ(s.server->GetLinkNum(), 2);
  EXPECT_EQ(srec.Count(ServerEvent(NetEvent_Connected, 4)), 0u);
  EXPECT_EQ(srec.DisconnectReason(4), int(NetReason_ServerClose));
  // A crowd of them writes a few lines a second about it, however many come.
  testing::internal::CaptureStderr();
  for (int i = 0; i < 200; ++i) {
    cRawPeer refused(s.port);
    reasonOf(refused);
  }
  EXPECT_LT(CountOf(testing::internal::GetCapturedStderr(), "holds its most links"), 100u);
  member.reset();
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
  s.server->SetLoginDeadline(100);
  cRawPeer late(s.port);
  EXPECT_EQ(reasonOf(late), int(NetReason_NoMsgAfterConnect));
  EXPECT_EQ(srec.DisconnectReason(3), -1);
}

// A peer that stops reading: the server holds its output up to the send-queue bound (512 KiB by
// default) beyond what the sockets buffer, then cuts the link with reason 3.
TEST(NetServer, APeerThatStopsReadingIsCutAtTheSendQueueBound) {
  cNetRecorder srec;
  cServerScope s(srec);
  cRawPeer peer(s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
  const auto record = MakeRecord(1001, std::string(60000, 'q'));
  uint64_t sent = 0;
  while (sent < (64u << 20) && srec.DisconnectReason(1) < 0 && Send(s.server->GetLink(1), record))
    sent += record.size();
  EXPECT_LT(sent, 32u << 20) << "held far past the bound";
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_SendQueueFull));
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
  char frame[4 + 10] = {};
  netlib::PutFrameHeader(frame, 102400, false);
  std::vector<std::unique_ptr<cRawPeer>> peers;
  for (int i = 0; i < kPeers; ++i)
    ASSERT_TRUE(peers.emplace_back(std::make_unique<cRawPeer>(s.port))->Write(frame, sizeof frame));
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, kPeers)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
#ifndef TESSEL_SANITIZED
  size_t grown = mallinfo2().uordblks - before;
  EXPECT_LT(grown, size_t(kPeers) * 40 * 1024) << "the server trusted the prefixes";
#endif
  EXPECT_EQ(s.server->GetLinkNum(), kPeers);
  EXPECT_EQ(srec.Count(RecordOf()), 0u);
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
  EXPECT_TRUE(srec.WaitCount(RecordOf(1001)));
}

// Either end released in the middle of traffic, a client even while it connects, never hangs
// and delivers nothing afterwards.
TEST(NetServer, ReleaseDuringTrafficNeverHangsAndDeliversNothingAfterwards) {
  auto quietAfter = [](cNetRecorder& rec, auto release) {
    release();
    const size_t seen = rec.Snapshot().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return rec.Snapshot().size() == seen;
  };
  const auto record = MakeRecord(1001, std::string(200, 'x'));
  for (int round = 0; round < 3; ++round) {
    cNetRecorder srec, crec;
    iServer* server = Net_CreateServer();
    stServerInfo info = cServerScope::Defaults();
    stClientInfo cinfo;
    ASSERT_EQ(server->Init(&info, &srec), 1);
    auto toAll = [&] {
      server->SendToAll(reinterpret_cast<const stMsg*>(record.data()), record.size());
    };
    for (int early = 0; early < 8; ++early) {
      cNetRecorder erec;
      iClient* client = Net_CreateClient(0);
      ASSERT_EQ(client->Init(&cinfo, &erec), 1);
      client->Connect("127.0.0.1", server->GetPort());
      if (early % 2) erec.WaitCount(ClientState(NetState_ConnectResult));
      for (int i = 0; early % 2 && i < 100; ++i) {
        Send(client, record);
        toAll();
      }
      EXPECT_TRUE(quietAfter(erec, [&] { client->Release(); })) << "a delivery after Release";
    }
    std::vector<std::unique_ptr<cClientScope>> clients;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
      auto& scope = clients.emplace_back(std::make_unique<cClientScope>(crec, server->GetPort()));
      senders.emplace_back([&, client = scope->client] {
        for (int i = 0; i < 20000 && !stop.load(); ++i)
          client->GetUnsentBytes() > 256 * 1024 ? std::this_thread::yield()
                                                : void(Send(client, record));
      });
    }
    ASSERT_TRUE(srec.WaitCount(RecordOf(), 200));
    for (int i = 0; i < 200; ++i) toAll();
    if (round == 0) server->Stop();
    EXPECT_TRUE(quietAfter(srec, [&] { server->Release(); })) << "a delivery after Release";
    stop.store(true);
    for (auto& t : senders) t.join();
    EXPECT_TRUE(crec.WaitCount(ClientState(NetState_ServerDown)));
  }
}

}  // namespace
