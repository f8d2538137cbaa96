// Attacks on the logins of a running tessel_server from many connections on loopback: guessing
// one account's password, and guests flooding Login records. Real logins from other addresses go
// on meanwhile, and the server's memory comes back after the flood.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/net_recorder.h"

namespace e2e {
namespace {

using testkit::CmdFrame;
using testkit::cRawPeer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

size_t CountIn(const std::vector<char>& bytes, const std::string& what) {
  const std::string text(bytes.begin(), bytes.end());
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Logs in from the address `from`: the milliseconds until the successful answer, -1 when a
// refusal, the link's end or kWaitMs came first.
long LoginMs(int port, const char* from, const std::string& account, const std::string& password) {
  cRawPeer peer(port, from);
  const auto start = Clock::now();
  if (!peer.Write(CmdFrame(2, "Login('" + account + "','" + password + "')"))) return -1;
  std::vector<char> got;
  while (Clock::now() < start + std::chrono::milliseconds(kWaitMs)) {
    const bool closed = peer.ReadUntil(got, 20);
    if (CountIn(got, "Logined(1,") > 0)
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (closed || CountIn(got, "Logined(0,") > 0) return -1;
  }
  return -1;
}

class LoginGuardE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    AddAccount(m_home, "ops", "pw", 16);
    m_server = std::make_unique<cServerProcess>(m_home, Words("game", Listen()));
    m_port = m_server->WaitPort("game");
    ASSERT_GT(m_port, 0) << m_server->Output();
  }
  // Connections from 127.0.0.1 that have each sent `frames` Login records for `account`.
  std::vector<std::unique_ptr<cRawPeer>> Peers(int count, int frames, const std::string& account) {
    std::vector<char> bytes;
    for (int i = 0; i < frames; ++i) {
      const std::vector<char> frame = CmdFrame(2, "Login('" + account + "','x')");
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    std::vector<std::unique_ptr<cRawPeer>> peers;
    for (int i = 0; i < count; ++i) peers.emplace_back(new cRawPeer(m_port, "127.0.0.1"));
    for (auto& peer : peers) peer->Write(bytes);
    return peers;
  }

  cHome m_home;
  std::unique_ptr<cServerProcess> m_server;
  int m_port = 0;
};

// 100 guests send 900 Login records a second each for 10 s: a real login from another address
// is answered within 1 s meanwhile, and the resident memory is back within 32 MiB of the start
// 15 s after the flood.
TEST_F(LoginGuardE2e, AGuestFloodDelaysNoRealLoginAndLeavesNoMemoryBehind) {
  const long before = RssKb(m_server->Pid());
  std::thread flood([&] {
    auto guests = Peers(100, 0, "");
    std::vector<char> batch;
    for (int i = 0; i < 9; ++i) {
      const std::vector<char> frame = CmdFrame(2, "Login('guest','x')");
      batch.insert(batch.end(), frame.begin(), frame.end());
    }
    auto next = Clock::now();
    for (const auto end = next + 10s; next < end; next += 10ms) {
      for (auto& guest : guests) guest->Write(batch);
      std::this_thread::sleep_until(next);
    }
  });
  std::this_thread::sleep_for(2s);
  const long loginMs = LoginMs(m_port, "127.0.0.2", "ops", "pw");
  flood.join();
  EXPECT_GE(loginMs, 0) << m_server->Output().substr(0, 4000);
  EXPECT_LT(loginMs, 1000);
  long grown = RssKb(m_server->Pid()) - before;
  for (auto end = Clock::now() + 15s; grown >= 32 * 1024 && Clock::now() < end;) {
    std::this_thread::sleep_for(250ms);
    grown = RssKb(m_server->Pid()) - before;
  }
  EXPECT_LT(grown, 32 * 1024);
}

}  // namespace
}  // namespace e2e
