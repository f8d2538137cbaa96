#include "tessel/contracts/baselib.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "baselib/zip_store.h"
#include "testkit/temp_dir.h"

namespace {

int g_bound = 0;
void CountBind(lua_State* L) {
  ++g_bound;
  lua_pushnumber(L, g_bound);
  lua_setglobal(L, "BOUND");
}

// The manager is a process-wide object: each test starts it afresh on its own folder.
class ScriptManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_bound = 0;
    manager.Clear();
    dir.write("a.lua", "value = 'a' function main() return 1 end");
    dir.write("SafeCall/b.lua", "function SafeCall(x) result = x end value = BOUND");
    dir.write("sub/deep/c.lua", "value = 'c'");
    dir.write("broken.lua", "value = ");
    dir.write("notes.txt", "not a script");
  }
  void TearDown() override { manager.Clear(); }

  static std::string Value(KLuaScript* s, const char* global = "value") {
    if (s == nullptr) return "(null)";
    lua_getglobal(s->GetLua(), global);
    const char* v = lua_tostring(s->GetLua(), -1);
    std::string out = v != nullptr ? v : "nil";
    lua_pop(s->GetLua(), 1);
    return out;
  }

  cScriptManager& manager = cScriptManager::Instance();
  testkit::cTempDir dir;
};

// Every .lua file below the folder is listed, none runs before it is asked for; names ignore
// the slash style and the extension but never leave the folder; the binding callback runs on
// every state before its script.
TEST_F(ScriptManagerTest, ScriptsAreFoundByNameInsideTheFolderAndBoundBeforeTheyRun) {
  EXPECT_EQ(manager.CreateScript((dir / "missing").c_str()), 0);
  EXPECT_EQ(manager.CreateScript(dir.path().c_str()), 4);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  manager.SetBindFunc(&CountBind);
  KLuaScript* b = manager.GetScript("SafeCall//b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Value(b), "1");
  EXPECT_EQ(manager.GetScript("SafeCall\\b"), b);
  EXPECT_EQ(manager.GetScript("./SafeCall/b.lua"), b);
  EXPECT_EQ(Value(manager.GetScript("sub\\deep\\c")), "c");
  for (const char* none : {"../a", "nothing", "notes"})
    EXPECT_EQ(manager.GetScript(none), nullptr) << none;
  EXPECT_EQ(g_bound, 2);
}

// A script that fails to load is not kept; a loaded one stays as it was until it is cleared;
// ReloadAll finds new files and drops every loaded script.
TEST_F(ScriptManagerTest, EditedFilesCountOnlyAfterAClearOrAReload) {
  manager.CreateScript(dir.path().c_str());
  EXPECT_EQ(manager.GetScript("broken"), nullptr);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  dir.write("broken.lua", "value = 'fixed'");
  EXPECT_EQ(Value(manager.GetScript("broken")), "fixed");
  EXPECT_FALSE(manager.ClearAScript("a"));
  EXPECT_EQ(Value(manager.GetScript("a")), "a");
  dir.write("a.lua", "value = 'edited'");
  EXPECT_EQ(Value(manager.GetScript("a")), "a");
  EXPECT_TRUE(manager.ClearAScript("a.lua"));
  EXPECT_EQ(Value(manager.GetScript("a")), "edited");
  dir.write("new.lua", "value = 'new'");
  dir.write("a.lua", "value = 'again'");
  EXPECT_EQ(manager.ReloadAll(), 5);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  EXPECT_EQ(Value(manager.GetScript("a")), "again");
  EXPECT_EQ(Value(manager.GetScript("new")), "new");
}

TEST_F(ScriptManagerTest, AScriptMayDropAndReloadItselfWhileRunning) {
  dir.write("self.lua",
            "function main() ClearAScript('self') ReloadAll() value = 'still running' "
            "return value end");
  manager.CreateScript(dir.path().c_str());
  manager.SetBindFunc([](lua_State* L) {
    BindScriptCommon(L);
    luareg::def(L, "ClearAScript",
                [](const char* f) { return cScriptManager::Instance().ClearAScript(f); });
  });
  EXPECT_TRUE(RunScriptFileFunc("self", "main"));
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  EXPECT_TRUE(RunScriptFileFunc("self", "main"));
}

TEST_F(ScriptManagerTest, RunScriptFileFuncLoadsTheFileAndCallsTheFunction) {
  manager.CreateScript(dir.path().c_str());
  EXPECT_TRUE(RunScriptFileFunc("a", "main"));
  EXPECT_FALSE(RunScriptFileFunc("a", "absent"));
  EXPECT_FALSE(RunScriptFileFunc("exe/init_nobody", "init"));
  dir.write("exe/init_server", "function init() started = true end");
  EXPECT_TRUE(RunScriptFileFunc("exe\\init_server", "init"));
}

TEST_F(ScriptManagerTest, ArchiveScriptsServeWhereTheFolderHasNone) {
  testkit::cTempDir pack;
  pack.write("zipped.lua", "value = 'from archive'");
  pack.write("a.lua", "value = 'archive a'");
  pack.write("lib/x.lua", "value = 'x'");
  std::string error;
  ASSERT_TRUE(baselib::ZipWrite(pack.path(), dir / "scripts.zip", &error)) << error;

  manager.CreateScript(dir.path().c_str());
  EXPECT_TRUE(manager.SetZip((dir / "scripts.zip").c_str()));
  EXPECT_EQ(Value(manager.GetScript("zipped")), "from archive");
  EXPECT_EQ(Value(manager.GetScript("lib/x")), "x");
  EXPECT_EQ(Value(manager.GetScript("a")), "a");
  EXPECT_FALSE(manager.SetZip((dir / "absent.zip").c_str()));
}

TEST(ZipStoreTest, DamagedArchivesAreRefusedWholeNeverReadPastTheirEnd) {
  testkit::cTempDir pack;
  pack.write("src/one.lua", std::string(300, 'a'));
  pack.write("src/two.lua", "two");
  std::string error;
  ASSERT_TRUE(baselib::ZipWrite(pack / "src", pack / "p.zip", &error)) << error;
  std::map<std::string, std::string> entries;
  ASSERT_TRUE(baselib::ZipRead(pack / "p.zip", entries, &error)) << error;
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["two.lua"], "two");

  std::ifstream in(pack / "p.zip", std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string flipped = whole;
  flipped[40] ^= 0x55;  // inside the data of one.lua: the checksum no longer matches
  std::string truncated = whole.substr(0, whole.size() / 2) + whole.substr(whole.size() - 22);
  for (const std::string& bad : {flipped, truncated, std::string("PK\5\6"), std::string()}) {
    pack.write("bad.zip", bad);
    entries.clear();
    EXPECT_FALSE(baselib::ZipRead(pack / "bad.zip", entries, &error));
    EXPECT_TRUE(entries.empty());
  }
}

}  // namespace
