#include "tessel/link/net_help.h"

#include <gtest/gtest.h>

#include <thread>

#include "tessel/contracts/baselib.h"
#include "tessel/link/callback_client.h"
#include "tessel/link/page_pool.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

// Keeps the bytes of every handled item; can queue more items while the pump runs.
struct cKeepHelp : cNetHelp {
  using cNetHelp::cNetHelp;
  void HandlePeerMessageSelf(stBindMsg* msg) override { Keep(msg); }
  void HandleNetMessageSelf(stBindMsg* msg) override { Keep(msg); }
  void Keep(stBindMsg* msg) {
    handled.emplace_back(reinterpret_cast<const char*>(msg->msg), msg->size);
    for (; queueWhileHandling > 0; --queueWhileHandling) OnMessage(2, "late", 4, nullptr);
  }
  std::vector<std::string> handled;
  int queueWhileHandling = 0;
};

// Small deliveries take pages, larger ones arrays; a pump handles exactly what was queued when it
// started; a pool that cannot grow never loses or corrupts a delivery; all is returned.
TEST(PagePool, DeliveriesTakePagesOrArraysAndAreNeverLostWhenThePoolCannotGrow) {
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
  EXPECT_EQ(help.GetNetTotal() * 10 + help.GetPeerTotal(), 13);
  help.OnMessage(2, page.data(), page.size(), nullptr);
  help.Clear();
  EXPECT_EQ(help.GetQueued() + 4, pool.GetFreeCount());

  cPagePool fixed(1024, 2, 1);
  EXPECT_FALSE(fixed.Double());
  cKeepHelp full(&fixed);
  const std::string a(10, 'a'), b(1000, 'b'), c(1024, 'c');
  for (const std::string* s : {&a, &b, &c})
    EXPECT_EQ(full.OnMessage(2, s->data(), s->size(), nullptr), 1);
  EXPECT_EQ(fixed.Alloc(), nullptr);
  full.HandleMsg();
  EXPECT_EQ(full.handled, (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(fixed.GetFreeCount() + fixed.GetChunkCount(), 3u);
}

TEST(PagePool, ManyNetworkThreadsQueueWhileThePumpDrains) {
  cPagePool pool(1024, 8);
  cKeepHelp help(&pool);
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&help, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string text = std::to_string(t) + ":" + std::to_string(i);
        if (i % 7 == 0) text.resize(2000, 'x');
        help.OnMessage(2, text.data(), text.size(), nullptr);
      }
    });
  for (int round = 0; round < 10000 && help.handled.size() < kThreads * kEach; ++round) {
    help.HandleMsg();
    std::this_thread::yield();
  }
  for (auto& thread : threads) thread.join();
  help.HandleMsg();
  EXPECT_EQ(help.handled.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(help.GetPeerTotal(), kThreads * kEach);
  EXPECT_EQ(pool.GetFreeCount(), 8u * pool.GetChunkCount());
}

// The client-state script notes its calls in the text `calls`; the client does not log in and
// never connects again by itself.
class ClientStateTest : public LinkTest {
 protected:
  ClientStateTest() {
    script_.DoString(
        "calls = '' "
        "function Net(name, s, err, ip) calls = calls..name..' '..s..' '..err..' '..ip..';' end "
        "function NetError(r, text, e) calls = calls..'error '..r..' '..text..' '..e..';' end");
    cCallbackClient::SetClientStateScript(&script_);
  }
  ~ClientStateTest() override { cCallbackClient::SetClientStateScript(nullptr); }
  void Start(const std::function<void(stClientInfo&)>& adjust) {
    WriteLogin("serverip = 127.0.0.1\nautoconnect = 1\n");
    if (!m_server) StartServer();
    m_logins = cLoginRecorder();
    script_.DoString("calls = ''");
    StartClient([&](stClientInfo& info) {
      info.autologin = false;
      info.autoreconnect = false;
      adjust(info);
    });
  }
  int State() { return Link().GetCallbackClient()->GetState(); }
  std::string Calls() {
    lua_getglobal(script_.GetLua(), "calls");
    std::string calls = lua_tostring(script_.GetLua(), -1);
    lua_pop(script_.GetLua(), 1);
    return calls;
  }

  KLuaScript script_{"clientstate"};
};

// A plain link is ready (4) at connect; an encoded one passes through "encoding" (3) first. Both
// are down (5) when cut, with the reason from the peer; one outside the table is named unknown.
TEST_F(ClientStateTest, ALinkIsReadyOnceConnectedAndEncodedAndDownWhenCutWithItsReason) {
  testkit::cStdoutCapture quiet;
  for (bool encoded : {false, true}) {
    SCOPED_TRACE(encoded ? "encoded" : "plain");
    Start([&](stClientInfo& info) { info.net.word[stNetParam::NetParam_Encode] = encoded; });
    ASSERT_TRUE(Pump([&] { return State() == 4 && m_server->GetNetServer()->GetLink(1); }));
    m_server->GetNetServer()->GetLink(1)->Disconnect(26);
    ASSERT_TRUE(Pump([&] { return State() == 5; }));
    EXPECT_EQ(m_logins.connects + m_logins.disconnects, 2);
    EXPECT_EQ(Calls(), std::string(encoded ? "global 3 0 127.0.0.1;" : "") +
                           "global 4 0 127.0.0.1;error 26 服务器关闭 0;global 5 0 127.0.0.1;");
    EXPECT_EQ(Link().GetCallbackClient()->GetConnectFailures(), 0u);
    m_client.reset();
    m_server.reset();
  }
  Start([](stClientInfo&) {});
  stNetDisconnectRecord unknown;
  unknown.reason = 27;
  unknown.error = 3;
  Link().GetCallbackClient()->OnMessage(2, &unknown, sizeof(unknown), nullptr);
  m_client->HandleMsg();
  EXPECT_NE(Calls().find("error 27  unknow error 3;"), std::string::npos) << Calls();
}

}  // namespace
}  // namespace linktest
