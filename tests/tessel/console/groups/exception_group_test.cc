#include "tessel/console/groups/cmd_exception.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "cmd_group_util.h"
#include "tessel/contracts/loglib.h"
#include "tessel/link/cmd_send.h"

// The faults this group raises on the worker, and "dump", are reported and end the process in
// order: that is tested once in-process (host/tessel_crash_test.cc) and for every fault in the
// end-to-end faults suite.

namespace {

TEST(ExceptionGroup, ZeroAndThePeerNoticesOutsideALinkDoNothing) {
  CheckGroupCases(cCmdException::Instance(),
                  {{"Zero()", true, ""}, {"ClientException()", true, ""}});
}

// The lines written to "tessel.fetalerror" since the last call.
std::vector<std::string> FatalLines() {
  static auto* const lines = new std::vector<std::string>;
  static std::mutex lock;
  static const bool kept = [] {
    loglib::add_appender(
        loglib::default_manager(), "tessel.fetalerror",
        [](const std::string& line) {
          std::lock_guard hold(lock);
          lines->push_back(line);
        },
        1000);
    return true;
  }();
  (void)kept;
  std::lock_guard hold(lock);
  std::vector<std::string> taken;
  taken.swap(*lines);
  return taken;
}

class ExceptionLinkTest : public LoggedInTest {
 protected:
  void SetUp() override {
    LoggedInTest::SetUp();
    StartLinks(100, "s3cretpw", 20);  // the group's level
    FatalLines();
  }
  void Idle() {
    CyclesUntil([] { return false; }, 50);
  }
};

// A peer's notice is taken only by the side it is meant for: a client hears of its server's
// fault, a server of its client's.
TEST_F(ExceptionLinkTest, PeerExceptionNoticesReachTheirSideOnly) {
  ASSERT_GT(SendServerCmd(m_server->GetNetServer(), 12, "ServerException() ClientException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return m_client->notices == 1; }));
  Idle();
  EXPECT_EQ(m_client->notices, 1);
  EXPECT_TRUE(m_server->notices.empty());
  std::vector<std::string> fatal = FatalLines();
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_NE(fatal[0].find("【Exception】on Server global"), std::string::npos) << fatal[0];

  ASSERT_GT(m_client->GetBridgeClient()->SendCmd(12, "ClientException() ServerException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return !m_server->notices.empty(); }));
  Idle();
  EXPECT_EQ(m_server->notices, std::vector<unsigned int>{LinkId()});
  EXPECT_EQ(m_client->notices, 1);
  fatal = FatalLines();
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_NE(fatal[0].find("【Exception】on Client center link " + std::to_string(LinkId())),
            std::string::npos)
      << fatal[0];
}

}  // namespace
