// An easy server "center" and its easy client "global" on 127.0.0.1, logged in, registered with
// a host of the test's own that answers the groups' host lookups while the test runs. Both
// count the exception notices of their peers. Lines written to "tessel.fetalerror" are kept.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/loglib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/host/tessel.h"
#include "testkit/console_test_util.h"
#include "testkit/easy_link_fixture.h"

class cNoticeServer : public linktest::cTestServer {
 public:
  void OnClientException(unsigned int linkId) override { notices.push_back(linkId); }
  std::vector<unsigned int> notices;
};

class cNoticeClient : public linktest::cTestClient {
 public:
  using cTestClient::cTestClient;
  void OnServerException() override { ++notices; }
  int notices = 0;
};

class LinkedHostTest : public linktest::EasyLinkTest {
 protected:
  void SetUp() override {
    EasyLinkTest::SetUp();
    WriteAccount("gm", "s3cret", 20);
    WriteLoginFile("global",
                   "serverip = 127.0.0.1\nautoconnect = 1\naccount = gm\npassword = s3cret\n");
    m_server = std::make_unique<cNoticeServer>();
    ASSERT_TRUE(m_server->Start());
    m_client = std::make_unique<cNoticeClient>(m_server->Port());
    Link().SetClock([this] { return m_now.load(); });
    Link().BindiConnectDisconnect(&m_logins);
    m_outputGroup = std::make_unique<linktest::cTestCmd>("cCmd_TestOutput", [this](lua_State* L) {
      luareg::def(L, "Output", [this](const char* text) { m_outputs.emplace_back(text); });
    });
    Link().AddCmd(1, m_outputGroup.get());
    ASSERT_TRUE(m_client->Start());
    ASSERT_TRUE(Pump([&] { return !m_logins.results.empty(); }));
    ASSERT_EQ(m_logins.results[0], 1);
    {
      testkit::cStdoutCapture quiet;
      m_host = std::make_unique<cTessel>();
      m_host->Init();
    }
    m_host->SetTesselServer(m_server.get());
    m_host->SetTesselClient(m_client.get());
    static auto* const s_fatal = new std::vector<std::string>;
    static std::mutex s_fatalLock;
    static const bool kept = [] {
      loglib::add_appender(
          loglib::default_manager(), "tessel.fetalerror",
          [](const std::string& line) {
            std::lock_guard lock(s_fatalLock);
            s_fatal->push_back(line);
          },
          1000);
      return true;
    }();
    (void)kept;
    m_fatal = [] {
      std::lock_guard lock(s_fatalLock);
      std::vector<std::string> lines = *s_fatal;
      s_fatal->clear();
      return lines;
    };
    m_fatal();
  }
  void TearDown() override {
    m_host.reset();
    EasyLinkTest::TearDown();
  }
  cNoticeServer& Server() { return static_cast<cNoticeServer&>(*m_server); }
  cNoticeClient& Client() { return static_cast<cNoticeClient&>(*m_client); }
  // The fatal-error lines written since the last call.
  std::vector<std::string> FatalLines() { return m_fatal(); }

  std::unique_ptr<cTessel> m_host;
  std::function<std::vector<std::string>()> m_fatal;
};
