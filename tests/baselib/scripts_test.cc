// The script manager and the library's script functions as a Lua user sees them.
#include <gtest/gtest.h>

#include <filesystem>

#include "baselib/zip_store.h"
#include "tessel/contracts/baselib.h"
#include "testkit/fake_clock.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace fs = std::filesystem;

namespace {

int g_bound = 0;
void BindAll(lua_State* L) {
  lua_pushnumber(L, ++g_bound);
  lua_setglobal(L, "BOUND");
  BindScriptCommon(L);
  RegisterFunc_Yield(L);
  RegisterScript(L, GetOSFuncs());
  luareg::def(L, "ClearAScript",
              [](const char* f) { return cScriptManager::Instance().ClearAScript(f); });
}

// The manager is process-wide: each test starts it afresh on its own working folder.
class ScriptsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bound = 0;
    manager.Clear();
    dir.enter();
    BindAll(script.GetLua());
  }
  void TearDown() override { manager.Clear(); }
  // tostring(expr) in the test's own state, "(error)" when it fails.
  std::string Eval(const std::string& expr) {
    if (script.DoString1(("return tostring(" + expr + ")").c_str()) != 0) return "(error)";
    std::string v = lua_tostring(script.GetLua(), -1);
    lua_settop(script.GetLua(), 0);
    return v;
  }
  // The global `value` of a managed script.
  std::string Value(const char* name) {
    KLuaScript* s = manager.GetScript(name);
    if (s == nullptr) return "(null)";
    lua_getglobal(s->GetLua(), "value");
    std::string out = lua_isnil(s->GetLua(), -1) ? "nil" : lua_tostring(s->GetLua(), -1);
    lua_pop(s->GetLua(), 1);
    return out;
  }

  cScriptManager& manager = cScriptManager::Instance();
  testkit::cTempDir dir;
  KLuaScript script{"funcs"};
};

// Every .lua file below the folder is listed, none runs before it is asked for; names ignore
// slash style and extension but never leave the folder; the binding runs before the script; a
// script that fails to load is not kept; a loaded one stays as it was until it is cleared.
TEST_F(ScriptsTest, ScriptsAreFoundInsideTheFolderBoundFirstAndReloadedOnlyWhenCleared) {
  dir.write("s/a.lua", "value = 'a' function main() return 1 end");
  dir.write("s/SafeCall/b.lua", "value = BOUND");
  dir.write("s/broken.lua", "value = ");
  dir.write("s/notes.txt", "not a script");
  EXPECT_EQ(manager.CreateScript("missing"), 0);
  EXPECT_EQ(manager.CreateScript("s"), 3);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  manager.SetBindFunc(&BindAll);
  EXPECT_EQ(Value("SafeCall//b"), "2");
  EXPECT_EQ(manager.GetScript("SafeCall\\b"), manager.GetScript("./SafeCall/b.lua"));
  for (const char* none : {"../s/a", "nothing", "notes", "broken"})
    EXPECT_EQ(manager.GetScript(none), nullptr) << none;
  EXPECT_EQ(manager.GetLoadedCount(), 1u);
  dir.write("s/broken.lua", "value = 'fixed'");
  EXPECT_EQ(Value("broken"), "fixed");
  EXPECT_EQ(Value("a"), "a");
  dir.write("s/a.lua", "value = 'edited'");
  EXPECT_EQ(Value("a"), "a");
  EXPECT_TRUE(manager.ClearAScript("a.lua"));
  EXPECT_EQ(Value("a"), "edited");
  dir.write("s/new.lua", "value = 'new'");
  EXPECT_EQ(manager.ReloadAll(), 4);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  EXPECT_EQ(Value("new"), "new");
}

// A script may drop and reload itself while it runs; dofile and require look in the script
// folder.
TEST_F(ScriptsTest, ScriptsRunThroughTheManagerAndMayReloadThemselvesWhileRunning) {
  dir.write("s/self.lua", "function main() ClearAScript('self') ReloadAll() return 1 end");
  dir.write("s/lib/util.lua", "loads = (loads or 0) + 1 return {answer = 42}");
  manager.CreateScript("s");
  manager.SetBindFunc(&BindAll);
  EXPECT_TRUE(RunScriptFileFunc("self", "main"));
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  EXPECT_TRUE(RunScriptFileFunc("self", "main"));
  EXPECT_FALSE(RunScriptFileFunc("exe/init_nobody", "init"));
  EXPECT_EQ(Eval("require('lib/util') and require('lib.util').answer"), "42");
  EXPECT_EQ(Eval("loads"), "2");  // 'lib.util' once and 'lib/util' once
  EXPECT_EQ(Eval("pcall(dofile, 'absent')"), "false");
}

// Folders outside the working folder are never deleted or packed; a damaged archive is refused
// whole; archive scripts serve where the folder has none.
TEST_F(ScriptsTest, FolderFunctionsStayInsideTheWorkingFolderAndArchivesAreCheckedWhole) {
  dir.write("old/a/b.txt", "x");
  EXPECT_EQ(Eval("DeleteFolder('old\\\\a')"), "true");
  EXPECT_FALSE(fs::exists(dir / "old/a"));
  for (const char* bad : {"''", "'.'", "'../x'", "'old/../..'", "'/tmp'", "'missing'"})
    EXPECT_EQ(Eval(std::string("DeleteFolder(") + bad + ")"), "false") << bad;
  EXPECT_TRUE(fs::exists(dir / "old"));
  dir.write("pack/z.lua", "value = 'zipped'");
  dir.write("pack/a.lua", "value = 'archive a'");
  dir.write("pack/lib/x.lua", std::string(300, '-'));
  dir.write("s/a.lua", "value = 'a'");
  EXPECT_EQ(Eval("ZipDir('../pack')"), "false");
  EXPECT_EQ(Eval("ZipDir('pack')"), "true");
  manager.CreateScript("s");
  EXPECT_FALSE(manager.SetZip("absent.zip"));
  ASSERT_TRUE(manager.SetZip("pack.zip"));
  EXPECT_EQ(Value("z") + Value("a"), "zippeda");

  const std::string whole = testkit::ReadFile(dir / "pack.zip");
  std::string flipped = whole;
  flipped[40] ^= 0x55;  // inside the data of an entry: the checksum no longer matches
  std::string truncated = whole.substr(0, whole.size() / 2) + whole.substr(whole.size() - 22);
  for (const std::string& bad : {flipped, truncated, std::string("PK\5\6"), std::string()}) {
    std::map<std::string, std::string> entries;
    std::string error;
    EXPECT_FALSE(baselib::ZipRead(dir.write("bad.zip", bad), entries, &error));
    EXPECT_TRUE(entries.empty());
  }
}

// Yield suspends a coroutine until its time has passed; a closed state is never resumed.
TEST_F(ScriptsTest, YieldSuspendsACoroutineUntilItsTimeAndAClosedStateIsNeverResumed) {
  ManagerClock time;
  ASSERT_EQ(
      script.DoString("steps = '' function Walk(name) steps = steps .. name .. 1 "
                      "Yield(100) steps = steps .. name .. 2 Yield(50) steps = steps .. 3 end"),
      0);
  EXPECT_EQ(Eval("StartYield(Walk, 'a')"), "true");
  EXPECT_EQ(Eval("steps .. YieldCount()"), "a11");
  time.Step(99);
  EXPECT_EQ(Eval("steps"), "a1");
  time.Step(1);
  EXPECT_EQ(Eval("steps"), "a1a2");
  time.Step(50);
  EXPECT_EQ(Eval("steps .. YieldCount()"), "a1a230");
  EXPECT_EQ(Eval("pcall(Yield, 10)"), "false");  // not inside StartYield
  EXPECT_EQ(Eval("StartYield(function() error('bad') end)"), "false");
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
