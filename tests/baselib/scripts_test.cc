// The script manager and the library's script functions as a Lua user sees them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "baselib/zip_store.h"
#include "tessel/contracts/baselib.h"
#include "testkit/fake_clock.h"
#include "testkit/file_text.h"
#include "testkit/link_swapper.h"
#include "testkit/logger_lines.h"
#include "testkit/stdout_capture.h"
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
struct ScriptsTest : ::testing::Test {
  void SetUp() override {
    g_bound = 0;
    manager.Clear();
    dir.enter();
    BindAll(script.GetLua());
  }
  void TearDown() override { manager.Clear(); }
  // tostring(expr) in `s` (the test's own state when null), "(error)" when it fails.
  std::string Eval(const std::string& expr, KLuaScript* s = nullptr) {
    s = s ? s : &script;
    if (s->DoString1(("return tostring(" + expr + ")").c_str()) != 0) return "(error)";
    std::string v = lua_tostring(s->GetLua(), -1);
    lua_settop(s->GetLua(), 0);
    return v;
  }
  // The global `value` of a managed script.
  std::string Value(const char* name) {
    KLuaScript* s = manager.GetScript(name);
    return s ? Eval("value", s) : "(null)";
  }

  cScriptManager& manager = cScriptManager::Instance();
  testkit::cTempDir dir;
  KLuaScript script{"funcs"};
};

// Scripts load on first use, bound first, by names that ignore slash style and extension but
// never leave the folder; a loaded one stays as it was until cleared, even by itself.
TEST_F(ScriptsTest, ScriptsAreFoundInsideTheFolderBoundFirstAndReloadedOnlyWhenCleared) {
  dir.write("s/a.lua", "value = 'a' function main() return 1 end");
  dir.write("s/SafeCall/b.lua", "value = BOUND");
  dir.write("s/broken.lua", "value = ");
  dir.write("s/notes.txt", "not a script");
  dir.write("s/self.lua", "function main() ClearAScript('self') ReloadAll() return 1 end");
  dir.write("s/lib/util.lua", "loads = (loads or 0) + 1 return {answer = 42}");
  EXPECT_EQ(manager.CreateScript("missing"), 0);
  EXPECT_EQ(manager.CreateScript("s"), 5);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  manager.SetBindFunc(&BindAll);
  EXPECT_EQ(Value("SafeCall//b"), "2");
  EXPECT_EQ(manager.GetScript("SafeCall\\b"), manager.GetScript("./SafeCall/b.lua"));
  for (const char* none : {"../s/a", "nothing", "notes", "broken"})
    EXPECT_EQ(manager.GetScript(none), nullptr) << none;
  EXPECT_EQ(manager.GetLoadedCount(), 1u);
  testkit::cStdoutCapture out;  // a script that is there but does not load says why
  EXPECT_EQ(Eval("RunScriptString('broken', 'x = 1')"), "false");
  EXPECT_NE(out.Text().find("script broken did not load: s/broken.lua:1: "), std::string::npos);
  dir.write("s/broken.lua", "value = 'fixed'");
  EXPECT_EQ(Value("broken"), "fixed");
  EXPECT_EQ(Value("a"), "a");
  dir.write("s/a.lua", "value = 'edited'");
  EXPECT_EQ(Value("a"), "a");
  EXPECT_TRUE(manager.ClearAScript("a.lua"));
  EXPECT_EQ(Value("a"), "edited");
  dir.write("s/new.lua", "value = 'new'");
  EXPECT_EQ(manager.ReloadAll(), 6);
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  EXPECT_EQ(Value("new"), "new");
  EXPECT_TRUE(RunScriptFileFunc("self", "main"));
  EXPECT_TRUE(RunScriptFileFunc("self", "main")) << "a script that reloads all can run again";
  EXPECT_EQ(manager.GetLoadedCount(), 0u);
  // A lookup that raises (strict globals) fails that call alone; a dropped script still closes.
  dir.write("s/strict.lua",
            "setmetatable(_G, {__index = error}) function main() return not "
            "RunScript('strict', 'nope') end function __gc() io.open('closed', 'w') end "
            "p = newproxy(true) getmetatable(p).__gc = __gc");
  EXPECT_TRUE(RunScriptFileFunc("strict", "main"));
  EXPECT_TRUE(manager.ClearAScript("strict"));
  EXPECT_TRUE(fs::exists(dir / "closed"));
  EXPECT_FALSE(RunScriptFileFunc("exe/init_nobody", "init"));
  static testing_support::logger_lines errors("script.error");
  ::mkfifo((dir / "s/pipe.lua").c_str(), 0600);  // not waited on, and the line says why
  EXPECT_FALSE(RunScriptFileFunc("pipe", "main"));
  EXPECT_NE(testing::PrintToString(errors.take()).find("no regular file"), std::string::npos);
  EXPECT_EQ(Eval("require('lib/util') and require('lib.util').answer"), "42");
  EXPECT_EQ(Eval("loads"), "2");  // 'lib.util' once and 'lib/util' once
  dir.write("s/me.lua", "turns = (turns or 0) + 1 require('s/me')");  // itself by another name
  EXPECT_EQ(Eval("select(2, pcall(require, 'me')) .. turns"),
            "s/me.lua:1: loop or previous error loading module 's/me'1");
  EXPECT_EQ(Eval("pcall(dofile, 'absent')"), "false");
  dir.write("s/loop.lua", "value = RunScript('loop', 'main') function main() end");
  EXPECT_EQ(Value("loop"), "false") << "loaded once, its run of itself as it loads refused";
}

// Folders outside the working folder are never deleted or packed; a damaged archive is refused
// and leaves the archive in use.
TEST_F(ScriptsTest, FolderFunctionsStayInsideTheWorkingFolderAndArchivesAreCheckedWhole) {
  dir.write("old/a/b.txt", "x");
  EXPECT_EQ(Eval("DeleteFolder('old\\\\a')"), "true");
  EXPECT_FALSE(fs::exists(dir / "old/a"));
  for (const char* bad : {"''", "'.'", "'../x'", "'old/../..'", "'/tmp'", "'missing'"})
    EXPECT_EQ(Eval(std::string("DeleteFolder(") + bad + ")"), "false") << bad;
  EXPECT_TRUE(fs::exists(dir / "old"));
  testkit::cTempDir outside;  // reached through a link above the named folder: refused
  fs::create_symlink(outside.path(), dir / "far");
  outside.write("keep/k.txt", "k");
  for (const char* c : {"DeleteFolder('far/keep')", "DeleteFolder('far/')", "ZipDir('far/keep')"})
    EXPECT_EQ(Eval(c), "false") << c;
  EXPECT_TRUE(fs::exists(outside / "keep/k.txt") && !fs::exists(outside / "keep.zip"));
  dir.write("pack/z.lua", "value = 'zipped'");
  dir.write("pack/a.lua", "value = 'archive a'");
  dir.write("pack/lib/x.lua", std::string(300, '-'));
  dir.write("s/a.lua", "value = 'a'");
  EXPECT_EQ(Eval("ZipDir('../pack')"), "false");
  const std::string tmp = "pack.zip.tmp" + std::to_string(::getpid()) + "-";
  for (int i = 0; i < 1000; ++i)
    fs::create_symlink("victim", dir / (i == 0 ? "pack.zip.tmp" : tmp + std::to_string(i)));
  EXPECT_EQ(Eval("ZipDir('pack')"), "true");
  EXPECT_FALSE(fs::exists(dir / "victim"));  // no link at a temporary name is followed
  manager.CreateScript("s");
  EXPECT_FALSE(manager.SetZip("absent.zip"));
  ASSERT_TRUE(manager.SetZip("pack.zip"));
  EXPECT_EQ(Value("z"), "zipped");
  EXPECT_EQ(Value("a"), "a");

  const std::string whole = testkit::ReadFile(dir / "pack.zip");
  std::string flipped = whole;  // inside the data of an entry: the checksum no longer matches
  flipped[40] ^= 0x55;
  std::string truncated = whole.substr(0, whole.size() / 2) + whole.substr(whole.size() - 22);
  // Entries that all share the first one's data: the archive's size no longer bounds what it
  // unpacks to (a few megabytes would make gigabytes).
  const std::size_t endAt = whole.size() - 22;
  std::size_t dirAt = 0;  // where the end record says the directory starts
  for (int i = 3; i >= 0; --i)
    dirAt = dirAt << 8 | static_cast<unsigned char>(whole[endAt + 16 + i]);
  std::string shared = whole.substr(0, dirAt), central;
  for (char c = 'a'; c <= 'z'; ++c) central += whole.substr(dirAt, 46) + c + ".lua";
  shared += central + whole.substr(endAt, 8) + std::string("\x1a\0\x1a\0", 4);
  for (const std::size_t v : {central.size(), dirAt})
    for (int i = 0; i < 4; ++i) shared += static_cast<char>(v >> (8 * i));
  shared += std::string(2, '\0');
  for (const std::string& bad :
       {flipped, truncated, shared, std::string("PK\5\6"), std::string()}) {
    std::map<std::string, std::string> entries;
    std::string error;
    EXPECT_FALSE(baselib::ZipRead(dir.write("bad.zip", bad), entries, &error));
    EXPECT_TRUE(entries.empty());
  }
  // A damaged archive named later leaves the one in use, and so does a pipe (read, it would
  // hold the start for ever).
  EXPECT_FALSE(manager.SetZip(dir.write("bad.zip", flipped).c_str()));
  // Two entries of one name, or of one script: which of them would run is no one's choice.
  for (auto [bad, one, other] :
       {std::tuple{whole, "z.lua", "a.lua"}, {whole, "lib/x.lua", "././a.lua"}}) {
    for (std::size_t at; (at = bad.find(one)) != std::string::npos;)
      bad.replace(at, std::string_view(one).size(), other);
    EXPECT_FALSE(manager.SetZip(dir.write("bad.zip", bad).c_str()));
  }
  ASSERT_EQ(::mkfifo("pipe.zip", 0600), 0);
  EXPECT_FALSE(manager.SetZip("pipe.zip"));
  EXPECT_TRUE(manager.ClearAScript("z"));
  EXPECT_EQ(Value("z"), "zipped");
  // A link out of the folder, or files past what an archive holds (64 MiB), change nothing.
  fs::create_symlink("../s/a.lua", dir / "pack/out.lua");
  EXPECT_EQ(Eval("ZipDir('pack')"), "false");
  fs::remove(dir / "pack/out.lua");
  fs::resize_file(dir.write("pack/big.lua", ""), (64 << 20) - 100);  // sparse
  EXPECT_EQ(Eval("ZipDir('pack')"), "false");
  EXPECT_TRUE(testkit::ReadFile(dir / "pack.zip") == whole);
  dir.write("z/in/keep/k.txt", "inside");  // z/in trades places with far, a link out, as they run
  const testkit::cLinkSwapper swapper(dir / "far", dir / "z/in");
  const auto packedOut = [&] {
    return testkit::CountOf(testkit::ReadFile(dir / "z.zip"), "k.txtk");
  };
  for (int i = 0; i < 200 && !packedOut(); ++i) Eval("ZipDir('z')");
  for (int i = 0; i < 2000; ++i) Eval("DeleteFolder('z/in/keep')");
  EXPECT_TRUE(!packedOut() && fs::exists(outside / "keep/k.txt"));
}

// Yield suspends a coroutine until its time has passed; a closed state is never resumed.
TEST_F(ScriptsTest, YieldSuspendsACoroutineUntilItsTimeAndAClosedStateIsNeverResumed) {
  ManagerClock time;
  EXPECT_EQ(Eval("StartYield(function(name) steps = name .. 1 Yield(100) steps = steps .. name .. "
                 "2 Yield(50) steps = steps .. 3 end, 'a') and steps .. YieldCount()"),
            "a11");
  for (auto [ms, steps] : {std::pair{99u, "a11"}, {1u, "a1a21"}, {50u, "a1a230"}}) {
    time.Step(ms);
    EXPECT_EQ(Eval("steps .. YieldCount()"), steps);
  }
  EXPECT_EQ(Eval("pcall(Yield, 10)"), "false");  // not inside StartYield
  static testing_support::logger_lines errors("script.yield");
  EXPECT_EQ(Eval("StartYield(function() error('bad\\n12_08 00:00:00 forged\\27[2J') end)"),
            "false");
  const std::vector<std::string> lines = errors.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("bad\\x0A12_08 00:00:00 forged\\x1B[2J"), std::string::npos) << lines[0];
  EXPECT_EQ(Eval("StartYield(function() end, unpack({}, 1, 5000))"), "true") << "no overrun";
  // A coroutine starting itself again ends at Lua's bound of nested calls, not past the stack.
  ASSERT_EQ(script.DoString("function again() StartYield(again) end"), 0);
  EXPECT_EQ(Eval("StartYield(again)"), "true");
  EXPECT_NE(errors.take().at(0).find("StartYield error C stack overflow"), std::string::npos);
  {
    KLuaScript shortLived;
    RegisterFunc_Yield(shortLived.GetLua());
    ASSERT_EQ(shortLived.DoString("StartYield(function() Yield(10) never = true end)"), 0);
    EXPECT_EQ(time.tm.GetTimerCount(), 1u);
  }
  time.Step(20);
  EXPECT_EQ(time.tm.GetTimerCount(), 0u);
  // A wait past the 32-bit clock's round (58 days) is one.
  EXPECT_EQ(Eval("StartYield(function() Yield(5e9) late = 1 end) and tostring(late)"), "nil");
  time.Step(20);
  EXPECT_EQ(Eval("tostring(late) .. YieldCount()"), "nil1");
}

}  // namespace
