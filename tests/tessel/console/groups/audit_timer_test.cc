// Code a command deferred to a timer (StartYield) leaves an audit line at each later resume, for
// whoever ran the command.
#include "cmd_group_util.h"
#include "tessel/core/audit_scope.h"
#include "testkit/audit_files.h"
#include "testkit/fake_clock.h"

namespace {

TEST_F(GroupTest, EachLaterResumeOfDeferredCodeLeavesATimerLineForItsConsole) {
  ManagerClock time;
  testkit::cAuditFolder at;
  cAuditTrail::stOptions options = at.Options();
  options.clockUs = {};
  cAuditScope::SetProcess("game");
  ASSERT_TRUE(cAuditTrail::Instance().Open(options));
  const std::string text = "StartYield(function() Yield(10) Yield(10) error('late') end)";
  {
    testkit::cStdoutCapture quiet;
    const cAuditScope console(cAuditScope::stWho(eAuditSource::Console, "console"));
    cCmdScript::Instance().Do(text.c_str());
  }
  {
    testkit::cStdoutCapture quiet;
    for (int step = 0; step < 4; ++step) time.Step(20);
  }
  cAuditTrail::Instance().Close();
  std::vector<std::string> timers;
  for (const std::string& line : at.Lines())
    if (AuditField(line, "source") == "timer") timers.push_back(line);
  ASSERT_EQ(timers.size(), 2u);
  EXPECT_EQ(AuditField(timers[0], "origin"), "console@game");
  EXPECT_EQ(AuditField(timers[0], "text"), text);
  EXPECT_EQ(AuditField(timers[0], "outcome"), "ran");
  EXPECT_EQ(AuditField(timers[1], "outcome"), "error");
}

}  // namespace
