#include "tessel/console/groups/cmd_remote_call.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cmd_group_util.h"
#include "tessel/contracts/baselib.h"

namespace {

// A script "SafeCall//probe" whose SafeCall keeps a description of every call it received.
class RemoteCallGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_dir.path() / "SafeCall");
    std::ofstream(m_dir.path() / "SafeCall" / "probe.lua") << R"(
calls = ''
function SafeCall(...)
  local parts = {}
  for i = 1, select('#', ...) do
    local v = select(i, ...)
    parts[#parts + 1] = type(v) .. ':' .. tostring(v)
  end
  calls = calls .. '[' .. table.concat(parts, ' ') .. ']'
end
)";
    cScriptManager::Instance().Clear();
    cScriptManager::Instance().CreateScript(m_dir.path().c_str());
  }
  void TearDown() override { cScriptManager::Instance().Clear(); }

  std::string Calls() {
    KLuaScript* script = cScriptManager::Instance().GetScript("SafeCall//probe");
    if (script == nullptr) return "(no script)";
    lua_getglobal(script->GetLua(), "calls");
    std::string calls = lua_tostring(script->GetLua(), -1);
    lua_pop(script->GetLua(), 1);
    return calls;
  }

  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

TEST_F(RemoteCallGroup, SafeCallForwardsBooleansNumbersAndStringsIntoTheScript) {
  struct stCase {
    const char* statement;
    const char* calls;
  } const cases[] = {
      {"SafeCall('probe','x')", "[string:x]"},
      {"SafeCall('probe',5)", "[number:5]"},
      {"SafeCall('probe','a',true,false,2.5,'b c')",
       "[string:a boolean:true boolean:false number:2.5 string:b c]"},
  };
  std::string expected;
  for (const auto& c : cases) {
    const stGroupRun run = RunInGroup(cCmdRemoteCall::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    EXPECT_EQ(run.out, "") << c.statement;
    expected += c.calls;
  }
  EXPECT_EQ(Calls(), expected);
}

TEST_F(RemoteCallGroup, BadCallsAreReportedAndNeverReachTheScript) {
  CheckGroupCases(cCmdRemoteCall::Instance(),
                  {
                      {"SafeCall('probe')", true, "nParamNum < 2\n"},
                      {"SafeCall()", true, "nParamNum < 2\n"},
                      {"SafeCall({},'x')", true, "ParamNum not string\n"},
                      {"SafeCall('probe',{})", true, "ParamNum not string\n"},
                      {"SafeCall('probe','x',{})", true, "unknow param type \n"},
                      {"SafeCall('probe','x',print)", true, "unknow param type \n"},
                      {"SafeCall('probe','x',nil)", true, "unknow param type \n"},
                  });
  EXPECT_EQ(Calls(), "");
  const stGroupRun missing = RunInGroup(cCmdRemoteCall::Instance(), "SafeCall('nosuch','x')");
  EXPECT_NE(missing.out.find("not find file SafeCall//nosuch\n"), std::string::npos) << missing.out;
}

}  // namespace
