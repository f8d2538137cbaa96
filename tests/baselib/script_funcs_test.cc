// The library's script functions as a Lua user sees them.
#include "tessel/contracts/baselib.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testkit/fake_clock.h"
#include "testkit/temp_dir.h"

namespace fs = std::filesystem;

namespace {

void BindAll(lua_State* L) {
  BindScriptCommon(L);
  BindGameTime(L);
  RegisterFunc_Yield(L);
  RegisterScript(L, GetOSFuncs());
}

class ScriptFuncsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cScriptManager::Instance().Clear();
    dir.enter();
    BindAll(script.GetLua());
  }
  void TearDown() override { cScriptManager::Instance().Clear(); }
  std::string Eval(const char* expr) {
    const std::string code = std::string("return tostring(") + expr + ")";
    if (script.DoString1(code.c_str()) != 0) return "(error)";
    std::string v = lua_tostring(script.GetLua(), -1);
    lua_settop(script.GetLua(), 0);
    return v;
  }

  testkit::cTempDir dir;
  KLuaScript script{"funcs"};
};

TEST_F(ScriptFuncsTest, RunScriptFunctionsLoadAndCallScriptsOfTheManager) {
  dir.write("scripts/job.lua", "count = (count or 0) + 1 function main() return count end");
  dir.write("scripts/t/one.lua", "function main() end");
  dir.write("scripts/t/two.lua", "function main() error('two fails') end");
  dir.write("scripts/t/three.lua", "function other() end");
  cScriptManager::Instance().CreateScript("scripts");
  cScriptManager::Instance().SetBindFunc(&BindAll);
  EXPECT_EQ(Eval("RunScript('job', 'main')"), "true");
  EXPECT_EQ(Eval("RunScript('job', 'missing')"), "false");
  EXPECT_EQ(Eval("RunScriptString('job', 'count = count + 10')"), "true");
  EXPECT_EQ(Eval("RunScriptString('nojob', 'x = 1')"), "false");
  KLuaScript* job = cScriptManager::Instance().GetScript("job");
  ASSERT_NE(job, nullptr);
  lua_getglobal(job->GetLua(), "count");
  EXPECT_EQ(lua_tonumber(job->GetLua(), -1), 11);
  lua_pop(job->GetLua(), 1);
  EXPECT_EQ(Eval("RunScriptTest('job', 'main')"), "true");  // loaded afresh
  EXPECT_EQ(Eval("RunScriptTestF('t')"), "2");
  EXPECT_EQ(Eval("ReloadAll()"), "4");
  EXPECT_EQ(Eval("RunScript(1)"), "(error)");
}

TEST_F(ScriptFuncsTest, DofileAndRequireFindFilesInTheScriptFolder) {
  dir.write("scripts/lib/util.lua", "loads = (loads or 0) + 1 return {answer = 42}");
  dir.write("scripts/plain.lua", "return 'plain', 2");
  cScriptManager::Instance().CreateScript("scripts");
  EXPECT_EQ(Eval("require('lib.util').answer"), "42");
  EXPECT_EQ(Eval("require('lib/util') and require('lib.util').answer"), "42");
  EXPECT_EQ(Eval("loads"), "2");  // 'lib.util' once and 'lib/util' once
  EXPECT_EQ(Eval("select(2, dofile('plain'))"), "2");
  EXPECT_EQ(Eval("pcall(dofile, 'absent')"), "false");
  EXPECT_EQ(Eval("pcall(require, 'absent')"), "false");
}

TEST_F(ScriptFuncsTest, DeleteFolderRemovesOnlyFoldersInsideTheWorkingDirectory) {
  dir.write("old/a/b.txt", "x");
  EXPECT_EQ(Eval("DeleteFolder('old\\\\a')"), "true");
  EXPECT_FALSE(fs::exists(dir / "old/a"));
  EXPECT_TRUE(fs::exists(dir / "old"));
  for (const char* bad : {"DeleteFolder('')", "DeleteFolder('.')", "DeleteFolder('../x')",
                          "DeleteFolder('old/../..')", "DeleteFolder('/tmp')"}) {
    EXPECT_EQ(Eval(bad), "false") << bad;
  }
  EXPECT_TRUE(fs::exists(dir.path()));
  EXPECT_EQ(Eval("DeleteFolder('missing')"), "false");
}

TEST_F(ScriptFuncsTest, ZipDirWritesAnArchiveTheManagerLoads) {
  dir.write("pack/z.lua", "value = 'zipped'");
  EXPECT_EQ(Eval("ZipDir('pack')"), "true");
  EXPECT_EQ(Eval("ZipDir('../pack')"), "false");
  ASSERT_TRUE(fs::exists(dir / "pack.zip"));
  cScriptManager::Instance().CreateScript("scripts");
  ASSERT_TRUE(cScriptManager::Instance().SetZip("pack.zip"));
  EXPECT_NE(cScriptManager::Instance().GetScript("z"), nullptr);
}

TEST_F(ScriptFuncsTest, YieldSuspendsACoroutineUntilItsTimeHasPassed) {
  ManagerClock time;
  ASSERT_EQ(script.DoString("steps = {} "
                            "function Walk(name) "
                            "  steps[#steps + 1] = name .. 1 "
                            "  Yield(100) "
                            "  steps[#steps + 1] = name .. 2 "
                            "  Yield(50) "
                            "  steps[#steps + 1] = name .. 3 "
                            "end"),
            0);
  EXPECT_EQ(Eval("StartYield(Walk, 'a')"), "true");
  EXPECT_EQ(Eval("table.concat(steps, ',')"), "a1");
  EXPECT_EQ(Eval("YieldCount()"), "1");
  time.Step(99);
  EXPECT_EQ(Eval("table.concat(steps, ',')"), "a1");
  time.Step(1);
  EXPECT_EQ(Eval("table.concat(steps, ',')"), "a1,a2");
  time.Step(50);
  EXPECT_EQ(Eval("table.concat(steps, ',')"), "a1,a2,a3");
  EXPECT_EQ(Eval("YieldCount()"), "0");
  EXPECT_EQ(Eval("pcall(Yield, 10)"), "false");  // not inside StartYield
  EXPECT_EQ(Eval("StartYield(function() error('bad') end)"), "false");
}

TEST_F(ScriptFuncsTest, AClosedStateIsNeverResumedByItsPendingYield) {
  ManagerClock time;
  {
    KLuaScript shortLived;
    RegisterFunc_Yield(shortLived.GetLua());
    ASSERT_EQ(shortLived.DoString("StartYield(function() Yield(10) never = true end)"), 0);
    EXPECT_EQ(cTimerManager::Instance().GetTimerCount(), 1u);
  }
  time.Step(20);
  EXPECT_EQ(cTimerManager::Instance().GetTimerCount(), 0u);
}

}  // namespace
