#include "tessel/link/net_help.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "tessel/contracts/baselib.h"
#include "tessel/link/callback_client.h"
#include "tessel/link/page_pool.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

// Keeps the bytes of every handled item; can queue more items while the pump runs. The links
// in `guests` have not logged in.
struct cKeepHelp : cNetHelp {
  using cNetHelp::cNetHelp;
  void HandlePeerMessageSelf(stBindMsg* msg) override { Keep(msg); }
  void HandleNetMessageSelf(stBindMsg* msg) override { Keep(msg); }
  bool IsGuest(iSend* link) override { return guests.count(link) > 0; }
  void Keep(stBindMsg* msg) {
    handled.emplace_back(reinterpret_cast<const char*>(msg->msg), msg->size);
    for (; queueWhileHandling > 0; --queueWhileHandling) OnMessage(2, "late", 4, nullptr);
  }
  std::vector<std::string> handled;
  int queueWhileHandling = 0;
  std::set<iSend*> guests;
  using cNetHelp::SetNewLinksGuests;
};

// Links that are only keys of the queue.
iSend* Key(int n) {
  static char keys[8];
  return reinterpret_cast<iSend*>(keys + n);
}

// Small deliveries take pages, larger ones arrays; a pump handles exactly what was queued when it
// started; everything is returned.
TEST(PagePool, DeliveriesTakePagesOrArraysAndAPumpHandlesWhatWasQueuedWhenItStarted) {
  cPagePool pool(1024, 4);
  cKeepHelp help(&pool);
  const std::string page(1024, 'p'), array(1025, 'a');
  help.OnMessage(2, page.data(), page.size(), nullptr);
  help.OnMessage(1, array.data(), array.size(), nullptr);
  EXPECT_EQ(pool.GetFreeCount(), 3u);
  help.queueWhileHandling = 2;
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{page, array}));
  EXPECT_EQ(help.GetQueued(), 2u);
  help.HandleMsg();
  EXPECT_EQ(pool.GetFreeCount(), 4u);
  EXPECT_EQ(help.GetNetTotal(), 1);
  EXPECT_EQ(help.GetPeerTotal(), 3);
  help.OnMessage(2, page.data(), page.size(), nullptr);
  help.Clear();
  EXPECT_EQ(help.GetQueued(), 0u);
  EXPECT_EQ(pool.GetFreeCount(), 4u);
}

// A link's queued bytes are bounded: past 8 MiB its records are refused (the network library then
// cuts it) while other links and notices are taken; once the pump drained it, it takes again.
// Notices and state records a replay hands in keep to the bound (the replay hands them in again).
TEST(PagePool, ALinksQueueIsBoundedInBytesWhileOtherLinksAndNoticesGoOn) {
  cKeepHelp help;
  const std::string mib(1 << 20, 'm');
  char keys[2];  // the links are only keys of the queue here
  iSend *flooder = reinterpret_cast<iSend*>(keys), *other = reinterpret_cast<iSend*>(keys + 1);
  int taken = 0;
  while (taken < 20 && help.OnMessage(2, mib.data(), mib.size(), flooder)) ++taken;
  EXPECT_EQ(taken, 8);
  EXPECT_EQ(help.OnMessage(2, mib.data(), mib.size(), other), 1);
  EXPECT_EQ(help.OnMessage(1, mib.data(), mib.size(), flooder), 1);
  for (int retry = 0; retry < 3; ++retry) EXPECT_EQ(help.OnReplayedMessage(3, "s", 1, flooder), 0);
  EXPECT_EQ(help.GetDropped(), 1);  // the replay hands its record in again: it is not dropped
  help.HandleMsg();
  EXPECT_EQ(help.OnMessage(2, mib.data(), mib.size(), flooder), 1);
  EXPECT_EQ(help.OnReplayedMessage(1, "n", 1, flooder), 1);
}

// Links take turns: a link's backlog delays another's items by its turn only; guests (links
// that have not logged in) take one turn in four while logged-in links wait and may queue far
// less; a held link's records wait until it is released or a notice of it arrives (or is
// queued already).
TEST(NetHelpQueue, LinksTakeTurnsGuestsTheirShareAndHeldLinksWait) {
  cKeepHelp help;
  iSend *busy = Key(0), *member = Key(1), *guest = Key(2);
  help.guests = {guest};
  auto queue = [&](iSend* link, const std::string& prefix, int n) {
    for (int i = 0; i < n; ++i) {
      const std::string text = prefix + std::to_string(i);
      help.OnMessage(2, text.data(), text.size(), link);
    }
  };
  queue(busy, "b", 8);
  queue(member, "m", 1);
  queue(guest, "g", 4);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{"b0", "m0", "g0", "b1", "b2", "b3", "g1", "b4",
                                                    "b5", "b6", "g2", "b7", "g3"}));
  const std::string page(1024, 'p');
  int taken = 0;
  while (taken < 1000 && help.OnMessage(2, page.data(), page.size(), guest)) ++taken;
  EXPECT_EQ(taken, static_cast<int>(cNetHelp::kGuestQueueBytes / 1024));
  EXPECT_EQ(help.OnMessage(2, page.data(), page.size(), member), 1);
  help.Clear();
  help.handled.clear();
  help.Hold(member, true);
  queue(member, "h", 2);
  queue(busy, "b", 1);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{"b0"}));
  help.OnMessage(1, "down", 4, member);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{"b0", "h0", "h1", "down"}));
  // A link that went down right behind the record that holds it is not held: its end comes.
  help.handled.clear();
  queue(guest, "x", 1);
  help.OnMessage(1, "gone", 4, guest);
  help.Hold(guest, true);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{"x0", "gone"}));
}

// Guests together queue at most their shared bound, whatever the count of links (a stranger
// reconnecting makes a new one each time): past it a guest's further records are refused, while
// a new link's first record (its login) is still taken; once drained, guests queue again.
TEST(NetHelpQueue, GuestsTogetherQueueAtMostTheirSharedBound) {
  cKeepHelp help;
  help.SetNewLinksGuests(true);
  const std::string page(1024, 'p');
  static char keys[201];  // the last one comes late
  const auto queue = [&](int n) {
    return help.OnMessage(2, page.data(), page.size(), reinterpret_cast<iSend*>(keys + n));
  };
  size_t taken = 0;
  for (int link = 0; link < 200; ++link)
    for (int i = 0; i < 300 && queue(link); ++i) ++taken;
  EXPECT_LE(taken * page.size(), cNetHelp::kGuestsQueueBytes + 200 * page.size());
  EXPECT_EQ(queue(200), 1);
  EXPECT_EQ(queue(200), 0);
  help.HandleMsg();
  EXPECT_EQ(queue(0), 1);
  EXPECT_EQ(queue(0), 1);
}

// Once a burst has drained, the pool gives back the blocks it grew by.
TEST(PagePool, TheBlocksOfABurstAreGivenBackOnceItHasDrained) {
  testkit::cStdoutCapture quiet;  // every block added says so
  cPagePool pool(1024, 16);
  cKeepHelp help(&pool);
  const size_t pages = cNetHelp::kGiveBackBytes / 1024;
  for (size_t i = 0; i < pages; ++i) help.OnMessage(2, "x", 1, Key(i % 8));
  EXPECT_EQ(pool.GetChunkCount(), pages / 16);
  help.HandleMsg();
  EXPECT_EQ(pool.GetChunkCount(), 1u);
}

// Network threads queue while the pump drains, into a pool that cannot grow: no delivery is lost,
// cut or reordered within its thread, and every page comes back.
TEST(PagePool, ManyNetworkThreadsQueueIntoAFixedPoolWhileThePumpDrains) {
  cPagePool pool(1024, 8, 1);
  EXPECT_FALSE(pool.Double());
  cKeepHelp help(&pool);
  constexpr int kThreads = 4, kEach = 500;
  auto text = [](int t, int i) {
    return (std::to_string(t) + ":" + std::to_string(i))
        .append(i % 7 ? 0 : 1000 + i % 3 * 500, 'x');
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        help.OnMessage(2, text(t, i).data(), text(t, i).size(), nullptr);
    });
  for (int round = 0; round < 10000 && help.handled.size() < kThreads * kEach; ++round) {
    help.HandleMsg();
    std::this_thread::yield();
  }
  for (auto& thread : threads) thread.join();
  help.HandleMsg();
  std::vector<int> next(kThreads, 0);
  for (const std::string& s : help.handled) EXPECT_EQ(s, text(s[0] - '0', next[s[0] - '0']++));
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
  EXPECT_EQ(pool.GetFreeCount(), 8u);
}

// The client-state script notes its calls in the text `calls`; the client does not log in and
// never connects again by itself. A plain link is ready (4) at connect; an encoded one (here one
// that packs its records) passes through "encoding" (3) first. Both are down (5) when cut, with
// the reason from the peer; one outside the table is named unknown.
TEST_F(LinkTest, ClientStatesReachTheScriptWithTheReasonOfTheCut) {
  KLuaScript script("clientstate");
  script.DoString(
      "function Net(name, s, err, ip) calls = calls..name..' '..s..' '..err..' '..ip..';' end "
      "function NetError(r, text, e) calls = calls..'error '..r..' '..text..' '..e..';' end");
  cCallbackClient::SetClientStateScript(&script);
  struct cOff {
    ~cOff() { cCallbackClient::SetClientStateScript(nullptr); }
  } off;
  auto calls = [&] {
    lua_getglobal(script.GetLua(), "calls");
    const std::string text = lua_tostring(script.GetLua(), -1);
    lua_pop(script.GetLua(), 1);
    return text;
  };
  auto state = [&] { return Link().GetCallbackClient()->GetState(); };
  testkit::cStdoutCapture quiet;
  WriteLogin("serverip = 127.0.0.1\nautoconnect = 1\n");
  for (int encoded : {0, 1}) {
    script.DoString("calls = ''");
    m_logins = cLoginRecorder();
    m_client.reset();
    StartServer();
    StartClient([encoded](stClientInfo& info) {
      info.autologin = info.autoreconnect = false;
      info.net.word[stNetParam::NetParam_Compress] = encoded;
    });
    auto readyAndSeen = [&] { return state() == 4 && m_server->GetNetServer()->GetLink(1); };
    ASSERT_TRUE(Pump(readyAndSeen));
    m_server->GetNetServer()->GetLink(1)->Disconnect(26);
    ASSERT_TRUE(Pump([&] { return state() == 5; }));
    EXPECT_EQ(m_logins.connects, 1);
    EXPECT_EQ(m_logins.disconnects, 1);
    EXPECT_EQ(calls(), std::string(encoded ? "global 3 0 127.0.0.1;" : "") +
                           "global 4 0 127.0.0.1;error 26 服务器关闭 0;global 5 0 127.0.0.1;");
    EXPECT_EQ(Link().GetCallbackClient()->GetConnectFailures(), 0u);
  }
  stNetDisconnectRecord unknown;
  unknown.reason = 27;
  unknown.error = 3;
  Link().GetCallbackClient()->OnMessage(2, &unknown, sizeof(unknown), nullptr);
  m_client->HandleMsg();
  EXPECT_TRUE(calls().ends_with("error 27  unknow error 3;")) << calls();
}

}  // namespace
}  // namespace linktest
