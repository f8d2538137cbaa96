#include "tessel/link/login_desk.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "tessel/link/account_manager.h"
#include "tessel/link/cmd_audit.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/password_hash.h"
#include "testkit/audit_files.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_text.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

// An account whose file holds a hash logs in with its password only, checked off the worker, and
// what the link sent behind it runs after the answer. Once the peer's address has failed five
// times its next guess waits a second on the desk's clock, with the link's later records behind
// it; the right password then waits its turn (the account failed five times too) and logs in.
// Each login leaves one audit line, a failed one a refusal, whether answered at once or later.
// A login refused because the account is logged in already is no guess.
TEST_F(LinkTest, TheLoginDeskChecksHashesOffTheWorkerAndMakesGuessesWaitTheirTurn) {
  testkit::cProcessTrail at;
  cCmdAudit::Install();
  WriteAccount("ops", "pw", 1);
  WriteAccount("hashed", HashPassword("pw2", 10), 1);
  StartServer();
  std::atomic<int64_t> now{0};
  cLoginDesk& desk = Accounts().GetLoginDesk();
  desk.SetClock([&now] { return now.load(); });
  ASSERT_TRUE(ConnectPeer());
  const auto answers = [&](const std::string& start) {
    return m_peer.Count([&](auto& d) { return d.CmdText().starts_with(start); });
  };
  for (const char* login : {"Login('hashed','pw')", "Login('hashed','pw2')", "Logout()"})
    SendCmd(m_peerLink->client, 2, login);
  ASSERT_TRUE(Pump([&] { return answers("Output([[logout ok") == 1; }));
  EXPECT_EQ(answers("Logined(0,"), 1u);
  EXPECT_EQ(answers("Logined(1,"), 1u);
  for (int i = 0; i < 5; ++i) SendCmd(m_peerLink->client, 2, "Login('ops','bad')");
  SendCmd(m_peerLink->client, 2, "Login('ops','pw')");
  ASSERT_TRUE(Pump([&] { return desk.Pending() == 1 && answers("Logined(0,") == 5; }));
  now = 1000;
  ASSERT_TRUE(Pump([&] { return answers("Logined(0,") == 6 && desk.Pending() == 1; }));
  EXPECT_EQ(answers("Logined(1,"), 1u);
  now = 3000;
  ASSERT_TRUE(Pump([&] { return answers("Logined(1,") == 2; }));
  EXPECT_TRUE(Accounts().GetAccount(1)->IsLogin());
  std::string outcomes;
  for (const std::string& line : at.CmdLines())
    if (AuditField(line, "text").starts_with("Login("))
      outcomes.append(AuditField(line, "outcome")).append(" ");
  EXPECT_EQ(outcomes, "refused ran refused refused refused refused refused ran ");
  // A quiet minute later, five logins refused as the account is logged in already (an operator
  // whose old link is not gone yet) are no guesses: they slow no later login.
  now = 70000;
  for (int i = 0; i < 5; ++i) SendCmd(m_peerLink->client, 2, "Login('ops','pw')");
  SendCmd(m_peerLink->client, 2, "Logout()");
  SendCmd(m_peerLink->client, 2, "Login('ops','pw')");
  EXPECT_TRUE(Pump([&] { return answers("Logined(1,") == 3; }));
  EXPECT_EQ(answers("Logined(0,"), 11u);
  // Guesses at ops from other addresses, however many wait their turn, do not hold its login
  // from the address it logged in from before: that is answered at once.
  SendCmd(m_peerLink->client, 2, "Logout()");
  ASSERT_TRUE(Pump([&] { return Accounts().FindAccount("ops") == nullptr; }));
  testkit::cRawPeer guesser(m_server->Port(), "127.0.0.2"), other(m_server->Port(), "127.0.0.3");
  for (int i = 0; i < 6; ++i) guesser.Write(testkit::CmdFrame(2, "Login('ops','x')"));
  ASSERT_TRUE(Pump([&] { return desk.Pending() == 1; }));
  other.Write(testkit::CmdFrame(2, "Login('ops','x')"));
  ASSERT_TRUE(Pump([&] { return desk.Pending() == 2; }));
  SendCmd(m_peerLink->client, 2, "Login('ops','pw')");
  EXPECT_TRUE(Pump([&] { return answers("Logined(1,") == 4; }));
  EXPECT_EQ(desk.Pending(), 2u);
  // A Kick refuses the account's login still on its hash check, saying so; a later one logs in.
  // The check is held until the Kick: a quick one could end between two looks at the desk.
  static std::atomic<bool> held{true};
  cLoginDesk::SetThreadStarter([](std::function<void()> run) {
    return std::thread([run = std::move(run)] {
      for (int i = 0; i < 20000 && held; ++i) usleep(1000);
      run();
    });
  });
  SendCmd(m_peerLink->client, 2, "Logout()");
  SendCmd(m_peerLink->client, 2, "Login('hashed','pw2')");
  ASSERT_TRUE(Pump([&] { return desk.Pending() == 3; }));
  EXPECT_EQ(desk.Kick("hashed"), 1u);
  held = false;
  cLoginDesk::SetThreadStarter(nullptr);
  EXPECT_TRUE(Pump([&] { return answers("Output([[login error hashed was kicked while"); }));
  EXPECT_EQ(Accounts().FindAccount("hashed"), nullptr);
  SendCmd(m_peerLink->client, 2, "Login('hashed','pw2')");
  EXPECT_TRUE(Pump([&] { return Accounts().FindAccount("hashed") != nullptr; }));
  // With no thread to be had for its check, a login waits (said once) until one can be made. A
  // hash changed while its check ran is then not derived on the worker: the login is refused,
  // saying so, and the next is checked off the worker against the new hash.
  SendCmd(m_peerLink->client, 2, "Logout()");
  testkit::cStdoutCapture out;
  static std::atomic<int> threads{0};  // 0: none can be made; 1: held until 2; then as std::thread
  cLoginDesk::SetThreadStarter([](std::function<void()> run) {
    if (threads == 0) throw std::system_error(EAGAIN, std::generic_category(), "made to fail");
    return std::thread([run = std::move(run)] {
      for (int i = 0; i < 20000 && threads < 2; ++i) usleep(1000);
      run();
    });
  });
  SendCmd(m_peerLink->client, 2, "Login('hashed','pw2')");
  ASSERT_TRUE(Pump([&] { return desk.Pending() == 3u; }));
  EXPECT_FALSE(Pump([&] { return desk.Pending() != 3u; }, 300));
  threads = 1;
  ASSERT_TRUE(Pump([&] { return desk.Checking() == 1; }));
  WriteAccount("hashed", HashPassword("pw2", 10), 1);
  threads = 2;
  EXPECT_TRUE(Pump([&] { return answers("Output([[login error the password changed while"); }));
  EXPECT_EQ(testkit::CountOf(out.Text(), "cLoginDesk no thread for a password check"), 1u);
  SendCmd(m_peerLink->client, 2, "Login('hashed','pw2')");
  EXPECT_TRUE(Pump([&] { return Accounts().FindAccount("hashed") != nullptr; }));
  // A hash the file gets after the desk read it is refused; five such refusals slow nothing.
  SendCmd(m_peerLink->client, 2, "Logout()");
  desk.SetClock([&] {  // two guesses wait: a third attempt is being answered
    if (desk.Pending() > 2) WriteAccount("plain", HashPassword("pw", 10), 1);
    return now.load();
  });
  for (size_t i = 2; i < 7; ++i) {
    WriteAccount("plain", "pw", 1);
    SendCmd(m_peerLink->client, 2, "Login('plain','pw')");
    ASSERT_TRUE(Pump([&] { return answers("Output([[login error the password changed") == i; }));
  }
  // Account files that cannot be read for want of a descriptor are no guesses: the answer says
  // so, and six of them slow no later login.
  desk.SetClock([&now] { return now.load(); });
  now = 200000;
  WriteAccount("spent", "pw", 1);
  if (testkit::cDescriptorLimit none; none.held)
    for (size_t i = 1; i < 7; ++i) {
      SendCmd(m_peerLink->client, 2, "Login('spent','pw')");
      ASSERT_TRUE(
          Pump([&] { return answers("Output([[login error 文件载入错误 (the server") == i; }));
    }
  SendCmd(m_peerLink->client, 2, "Login('spent','pw')");
  EXPECT_TRUE(Pump([&] { return Accounts().FindAccount("spent") != nullptr; }));
  // A login answered at once, and one answered after its hash check, each read the file once.
  WriteAccount("plain", "pw", 1);
  const int opens = inotify_init1(IN_NONBLOCK);
  for (const char* file : {"db/accounts/plain.ini", "db/accounts/hashed.ini"})
    inotify_add_watch(opens, m_home.file(file).c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
  for (const char* login : {"Logout()", "Login('plain','pw')", "Logout()", "Login('hashed','pw2')"})
    SendCmd(m_peerLink->client, 2, login);
  ASSERT_TRUE(Pump([&] { return Accounts().FindAccount("hashed") != nullptr; }));
  inotify_event events[16];  // an open and a close each, never merged as two opens in a row are
  EXPECT_EQ(read(opens, events, sizeof events), ssize_t(4 * sizeof(inotify_event)));
  close(opens);
}

// Two checks of 1 GiB hashes (from two addresses) run one after the other, not 2 GiB at once.
// Checks that keep coming (PBKDF2, two one behind the other from each of four addresses) do not
// pass a check of 1 GiB for ever: it runs once those running when it came ended, later ones wait.
TEST_F(LinkTest, TheLoginDeskRunsNoTwoChecksOfAGibibyteAtOnceNorPassesOneForEver) {
#ifdef TESSEL_SANITIZED
  GTEST_SKIP() << "two checks of 1 GiB each take the sanitizers' time and memory";
#endif
  const std::string hash = "$c2FsdHNhbHQ$c2FsdHNhbHRzYWx0c2FsdA";
  for (const char* name : {"big1", "big2"}) WriteAccount(name, "$scrypt$ln=20,r=8,p=1" + hash, 1);
  for (int i = 0; i < 8; ++i)
    WriteAccount("s" + std::to_string(i), "$pbkdf2-sha256$1000000" + hash, 1);
  StartServer();
  m_server->SetLoginDeadline(600000);  // a loaded machine takes the checks past the 30 s default
  cLoginDesk& desk = Accounts().GetLoginDesk();
  testkit::cRawPeer one(m_server->Port(), "127.0.0.2"), two(m_server->Port(), "127.0.0.3");
  one.Write(testkit::CmdFrame(2, "Login('big1','x')"));
  two.Write(testkit::CmdFrame(2, "Login('big2','x')"));
  size_t most = 0;
  const auto running = [&] { return most = std::max(most, desk.Checking()); };
  ASSERT_TRUE(Pump([&] { return running() && desk.Pending() == 2; }));
  EXPECT_TRUE(Pump([&] { return running() && desk.Pending() == 0; }, 120000));
  EXPECT_EQ(most, 1u);
  ASSERT_TRUE(ConnectPeer());
  const int opens = inotify_init1(IN_NONBLOCK);  // the account files opened from here on
  inotify_add_watch(opens, m_home.file("db/accounts").c_str(), IN_OPEN);
  std::list<testkit::cRawPeer> guessers;
  for (int i = 0; i < 8; ++i) {
    if (i % 2 == 0)
      guessers.emplace_back(m_server->Port(), ("127.0.0." + std::to_string(4 + i / 2)).c_str());
    guessers.back().Write(testkit::CmdFrame(2, "Login('s" + std::to_string(i) + "','x')"));
  }
  ASSERT_TRUE(Pump([&] { return desk.Checking() == 2; }));
  SendCmd(m_peerLink->client, 2, "Login('big1','x')");
  const auto answered = [](auto& d) { return d.CmdText().starts_with("Logined(0,"); };
  EXPECT_TRUE(Pump([&] { return m_peer.Has(answered); }, 120000));
  EXPECT_GT(desk.Pending(), 2u);
  char events[1 << 16];  // waiting logins read their files once, not at each pass: 32 bytes an open
  EXPECT_LE(read(opens, events, sizeof events), 40 * 32);
  close(opens);
}

}  // namespace
}  // namespace linktest
