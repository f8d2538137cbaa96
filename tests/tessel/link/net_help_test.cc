#include "tessel/link/net_help.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tessel/contracts/baselib.h"
#include "tessel/link/callback_client.h"
#include "tessel/link/page_pool.h"
#include "testkit/link_test_util.h"

namespace {

using namespace linktest;

// Keeps the bytes of every handled item.
class cKeepHelp : public cNetHelp {
 public:
  using cNetHelp::cNetHelp;
  void HandlePeerMessageSelf(stBindMsg* msg) override { Keep(msg); }
  void HandleNetMessageSelf(stBindMsg* msg) override { Keep(msg); }
  std::vector<std::string> handled;

 private:
  void Keep(stBindMsg* msg) {
    handled.emplace_back(reinterpret_cast<const char*>(msg->msg), msg->size);
  }
};

TEST(PagePool, SmallDeliveriesUsePagesLargerOnesArraysAndBothAreReturned) {
  cPagePool pool(1024, 4);
  const size_t all = pool.GetFreeCount();
  ASSERT_EQ(all, 4u);
  cKeepHelp help(&pool);
  const std::string page(1024, 'p'), array(1025, 'a');
  help.OnMessage(2, page.data(), page.size(), nullptr);
  help.OnMessage(1, array.data(), array.size(), nullptr);
  EXPECT_EQ(pool.GetFreeCount(), all - 1);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{page, array}));
  EXPECT_EQ(pool.GetFreeCount(), all);
  EXPECT_EQ(help.GetNetTotal(), 1);
  help.OnMessage(2, page.data(), page.size(), nullptr);
  help.OnMessage(2, array.data(), array.size(), nullptr);
  help.Clear();
  EXPECT_EQ(help.GetQueued(), 0u);
  EXPECT_EQ(pool.GetFreeCount(), all);
}

TEST(PagePool, APoolThatCannotGrowNeverLosesOrCorruptsADelivery) {
  cPagePool pool(1024, 2, 1);
  EXPECT_FALSE(pool.Double());
  cKeepHelp help(&pool);
  const std::string a(10, 'a'), b(1000, 'b'), c(1024, 'c');
  for (const std::string* s : {&a, &b, &c})
    EXPECT_EQ(help.OnMessage(2, s->data(), s->size(), nullptr), 1);
  EXPECT_EQ(pool.GetFreeCount(), 0u);
  EXPECT_EQ(pool.Alloc(), nullptr);
  help.HandleMsg();
  EXPECT_EQ(help.handled, (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(pool.GetFreeCount(), 2u);
  EXPECT_EQ(pool.GetChunkCount(), 1u);
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

// A connecting endpoint made of a bridge and the client callback; records its link events with
// the callback's state at that moment.
class cClientEndpoint : public cBridge {
 public:
  cClientEndpoint() {
    callback = new cCallbackClient;
    callback->SetBridge(this);
    m_pNetHelp = callback;
    msg.Init(this);
    CreateBridge("upstream", &msg);
  }
  ~cClientEndpoint() override { ClearNet(); }
  void OnConnect(unsigned id) override { events.push_back("connect " + std::to_string(id)); }
  bool OnDisconnect(unsigned id) override {
    events.push_back("disconnect " + std::to_string(id));
    return true;
  }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {
    if (client != nullptr) client->Release();
    client = nullptr;
    m_pNetHelp->Clear();
  }
  bool Connect(unsigned short port, bool encoded, const char* ip = "127.0.0.1") {
    stClientInfo info;
    info.name = "upstream";
    if (encoded) info.net.word[stNetParam::NetParam_Encode] = 1;
    callback->SetWaitEncoding(encoded);
    client = Net_CreateClient(0);
    return client->Init(&info, callback) != 0 && client->Connect(ip, port) != 0;
  }
  bool PumpUntil(const std::function<bool()>& pred) {
    for (int i = 0; i < 2500; ++i) {
      HandleMsg(0);
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  cMsg msg;
  cCallbackClient* callback;
  iClient* client = nullptr;
  std::vector<std::string> events;
};

// The client-state script gathers its calls in the table `calls`.
class ClientStateTest : public testing::Test {
 protected:
  ClientStateTest() {
    script_.DoString(
        "calls = {} "
        "function Net(name, state, err, ip) calls[#calls+1] = name..' '..state..' '..err..' '..ip "
        "end "
        "function NetError(r, text, e) calls[#calls+1] = 'error '..r..' '..text..' '..e end");
    cCallbackClient::SetClientStateScript(&script_);
  }
  ~ClientStateTest() override { cCallbackClient::SetClientStateScript(nullptr); }
  std::vector<std::string> Calls() {
    std::vector<std::string> out;
    lua_State* L = script_.GetLua();
    lua_getglobal(L, "calls");
    for (int i = 1;; ++i) {
      lua_rawgeti(L, -1, i);
      if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        break;
      }
      out.emplace_back(lua_tostring(L, -1));
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return out;
  }

  cTempHome home_;
  KLuaScript script_{"clientstate"};
};

// A plain link is ready at connect; an encoded one passes through "encoding" (3) first. Both
// are down (5) when cut.
TEST_F(ClientStateTest, ALinkIsReadyOnceConnectedAndEncodedAndDownWhenCut) {
  for (bool encoded : {false, true}) {
    SCOPED_TRACE(encoded ? "encoded" : "plain");
    script_.DoString("calls = {}");
    cServerEndpoint server;
    cClientEndpoint client;
    ASSERT_TRUE(client.Connect(server.Port(), encoded));
    ASSERT_TRUE(client.PumpUntil([&] { return client.callback->GetState() == 4; }));
    EXPECT_EQ(client.events, (std::vector<std::string>{"connect 1"}));
    client.client->Disconnect();
    ASSERT_TRUE(client.PumpUntil([&] { return client.callback->GetState() == 5; }));
    EXPECT_EQ(client.events, (std::vector<std::string>{"connect 1", "disconnect 0"}));
    std::vector<std::string> expected{"upstream 4 0 127.0.0.1", "upstream 5 0 127.0.0.1"};
    if (encoded) expected.insert(expected.begin(), "upstream 3 0 127.0.0.1");
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(client.callback->GetConnectFailures(), 0u);
  }
}

TEST_F(ClientStateTest, FailedConnectsLeaveTheLinkDown) {
  unsigned short closed;
  {
    cServerEndpoint gone;
    closed = gone.Port();
  }
  cClientEndpoint refused;
  ASSERT_TRUE(refused.Connect(closed, false));
  ASSERT_TRUE(refused.PumpUntil([&] { return refused.callback->GetConnectFailures() == 1; }));
  EXPECT_EQ(refused.callback->GetState(), 5);
  EXPECT_EQ(refused.events, (std::vector<std::string>{"disconnect 0"}));

  cClientEndpoint unusable;
  unusable.Connect(closed, false, "no-such-address");
  ASSERT_TRUE(unusable.PumpUntil([&] { return !unusable.events.empty(); }));
  EXPECT_EQ(unusable.callback->GetState(), 5);
  EXPECT_EQ(unusable.events, (std::vector<std::string>{"disconnect 0"}));
  EXPECT_EQ(unusable.callback->GetConnectFailures(), 0u);
}

// The reason comes from the peer: one outside the table is named as unknown.
TEST_F(ClientStateTest, TheDisconnectReasonIsHandedToTheScript) {
  cServerEndpoint server;
  cClientEndpoint client;
  ASSERT_TRUE(client.Connect(server.Port(), false));
  ASSERT_TRUE(client.PumpUntil([&] { return client.callback->GetState() == 4; }));
  ASSERT_TRUE(server.PumpUntil([&] { return server.GetNetServer()->GetLink(1) != nullptr; }));
  testing::internal::CaptureStdout();
  server.GetNetServer()->GetLink(1)->Disconnect(26);
  const bool down = client.PumpUntil([&] { return client.callback->GetState() == 5; });
  stNetDisconnectRecord unknown;
  unknown.reason = 27;
  unknown.error = 3;
  client.callback->OnMessage(2, &unknown, sizeof(unknown), nullptr);
  client.HandleMsg(0);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(down);
  std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[1], "error 26 服务器关闭 0");
  EXPECT_EQ(calls.back(), "error 27  unknow error 3");
  EXPECT_STREQ(DisconnectReasonText(0xFFFFFFFFu), " unknow error");
}

}  // namespace
