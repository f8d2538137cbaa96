// Code a command deferred to a timer (StartYield) leaves an audit line for each of its runs, the
// first inside the command included, for whoever ran the command; the command keeps its one line.
#include "cmd_group_util.h"
#include "tessel/core/audit_scope.h"
#include "testkit/audit_files.h"
#include "testkit/fake_clock.h"

namespace {

TEST_F(GroupTest, EachRunOfDeferredCodeLeavesATimerLineForItsConsole) {
  ManagerClock time;
  testkit::cProcessTrail at;
  cAuditScope::SetProcess("game");
  const std::string text = "StartYield(function() Yield(10) Yield(10) error('late') end)";
  testkit::cStdoutCapture quiet;
  {
    const cAuditScope console(cAuditScope::stWho(eAuditSource::Console, "console"));
    cCmdScript::Instance().Do(text.c_str());
  }
  for (int step = 0; step < 4; ++step) time.Step(20);
  std::vector<std::string> timers, own;
  for (const std::string& line : at.CmdLines())
    (AuditField(line, "source") == "timer" ? timers : own).push_back(line);
  ASSERT_EQ(timers.size(), 3u);
  EXPECT_EQ(AuditField(timers[0], "origin"), "console@game");
  EXPECT_EQ(AuditField(timers[0], "text"), text);
  EXPECT_EQ(AuditField(timers[0], "out"), "-");
  EXPECT_EQ(AuditField(timers[1], "outcome"), "ran");
  EXPECT_EQ(AuditField(timers[2], "outcome"), "error");
  EXPECT_EQ(own.size(), 1u);
}

}  // namespace
