#include "tessel/core/cmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <lua.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_array.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/console_bound.h"
#include "tessel/timers/timer_function.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/logger_lines.h"
#include "testkit/record_cmd.h"
#include "testkit/stdout_capture.h"

namespace {

using Texts = std::vector<std::string>;
Texts g_seen;
uint32_t g_tick = 1000;
uint32_t FakeTick() {
  return g_tick;
}

// SeenCmd() records the running command text; Login runs slowly, keeps what the host would show
// of the running command and refuses with a message that names the password.
struct cProbeCmd : cCmd {
  explicit cProbeCmd(const char* name = "cCmd_P", bool refuse = false)
      : name(name), refuse(refuse) {}
  void bind_cln(lua_State* L) override {
    ++binds;
    luareg::def(L, "SeenCmd", [] { g_seen.push_back(cCmd::s_szCmd); });
    luareg::def(L, "Advance", [](int ms) { g_tick += ms; });
    luareg::def(L, "Login", [this](const char*, const char* password) {
      shown += cCmd::CurCmdText() + "\n";
      raw = cCmd::s_szCmd;
      g_tick += 250;
      throw std::runtime_error(std::string("refused ") + password);
    });
  }
  bool CanDo(const char*) override { return !refuse; }
  const char* GetName() override { return name; }
  const char* name;
  bool refuse;
  int binds = 0;
  std::string shown, raw;
};

// A group in two arrays is bound once; nested commands restore the outer text, also when they
// fail; a refused command neither runs nor counts; direct mode survives many errors silently.
TEST(Cmd, NestedCommandsSeeTheirOwnTextAndRunsAreCountedAndTimed) {
  SetTimerFunctionTick(&FakeTick);
  cProbeCmd group("cCmd_Account"), inner, refusing("cCmd_No", true), direct;
  cCmdArray first, second;
  first.AddCmd(0, &group);
  lua_State* state = group.GetLua();
  second.AddCmd(4, &group);
  EXPECT_EQ(group.binds, 1);
  EXPECT_EQ(group.GetLua(), state);
  inner.Create();
  refusing.Create();
  direct.Create();
  g_seen.clear();
  luareg::def(state, "RunInner", [&] {
    inner.Do("SeenCmd()");
    g_seen.push_back(cCmd::s_szCmd);
  });
  EXPECT_TRUE(group.Do("SeenCmd() RunInner()"));
  EXPECT_EQ(g_seen, (Texts{"SeenCmd() RunInner()", "SeenCmd()", "SeenCmd() RunInner()"}));
  EXPECT_EQ(cCmd::CurCmdText(), "");
  cCmd::s_szCmd = "outer";
  testkit::cStdoutCapture out;
  EXPECT_FALSE(group.Do("ShowTop("));
  EXPECT_STREQ(cCmd::s_szCmd, "outer");
  cCmd::s_szCmd = "";
  EXPECT_FALSE(group.Do("error('boom')"));
  EXPECT_TRUE(group.Do("Advance(40) Advance(25)"));
  EXPECT_EQ(group.GetRunCount(), 4);
  EXPECT_EQ(group.GetRunTime(), 65u);
  group.Clear();
  EXPECT_FALSE(group.Do("SeenCmd()"));
  EXPECT_EQ(group.GetRunCount(), 5);
  SetTimerFunctionTick(nullptr);
  g_seen.clear();
  EXPECT_FALSE(refusing.Do("SeenCmd()"));
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(refusing.GetRunCount(), 0);
  direct.SetDirect(true);
  const size_t before = out.Text().size();
  for (int i = 0; i < 20000; ++i) ASSERT_FALSE(direct.Do("x("));
  EXPECT_TRUE(direct.Do("SeenCmd()"));
  EXPECT_EQ(out.Text().size(), before);
  EXPECT_EQ(lua_gettop(direct.GetLua()), 0);
  // A line starting with ESC (the Up key, or bytecode) is refused, not read as a binary chunk;
  // the group's own loaders take source only.
  EXPECT_FALSE(inner.Do("\x1b[A"));
  EXPECT_FALSE(direct.Do("\x1bLua"));
  EXPECT_NE(out.Text().find("cCmd_P: precompiled chunk refused"), std::string::npos);
  EXPECT_TRUE(inner.Do("assert(not loadstring(string.dump(function() end)))"));
}

// A failing login call (in Lua, natively or too slowly) is reported without its password wherever
// the report goes, and the report still tells what failed. What a failing or slow command puts
// into the log files stays one line.
TEST(Cmd, AFailingLoginCallNeverShowsItsPassword) {
  static testing_support::logger_lines errors("script.error"), slow("tessel.timererror");
  SetTimerFunctionTick(&FakeTick);
  cProbeCmd group("cCmd_LoginProbe");
  group.Create();
  // Each failing text with the parts its report must show; only the Logout shows the password.
  std::vector<std::pair<std::string, Texts>> cases = {
      {"Login('gm','s3cret')",
       {"do Login('gm','******')\n", "refused ***", "\nLogin('gm','******')\n"}},
      {"print('') Login('gm','s3cret')",
       {"(message hidden: the command may hold a password)\n", "do print('') Login(***)\n"}},
      {"Logout('s3cret'", {"do Logout('s3cret'\n", "near '<eof>'"}}};
  for (const char* text :
       {"Login('gm',\"s3cret\")", "Login('gm','s3cret'", "Login('gm','s3cret') x",
        "Login('gm','s3cret') Login('gm','s3cret')", "Login('gm','s3cret',)",
        "Login('gm',[[s3cret]])", "Login('gm','s3'..'cret')", "Login('gm','s3c\\114et')",
        "Login('gm','it\\'s3cret')"})
    cases.push_back({text, {}});
  for (const auto& [text, parts] : cases) {
    errors.take();
    slow.take();
    group.shown.clear();
    testkit::cStdoutCapture capture;
    EXPECT_FALSE(group.Do(text.c_str()));
    loglib::flush_log_cache();
    std::string shown = capture.Text() + group.shown;
    for (const auto& line : errors.take()) shown += line;
    for (const auto& line : slow.take()) shown += line;
    EXPECT_EQ(text.find("Logout") == 0, shown.find("s3cret") != std::string::npos) << shown;
    EXPECT_NE(shown.find("cCmd::Do error cmd cCmd_LoginProbe do "), std::string::npos) << shown;
    for (const auto& part : parts) EXPECT_NE(shown.find(part), std::string::npos) << part << shown;
  }
  // Path routing reads the running text of the last login call itself, which stays whole.
  EXPECT_EQ(group.raw, "Login('gm','it\\'s3cret')");
  // A peer chooses every byte of a text and of its error(): in the files each stays one line.
  testkit::cStdoutCapture capture;
  EXPECT_FALSE(
      group.Do("--[[\n01_01 forged\x1b[2J]] Advance(250) error('\\n01_01 forged\\27', 0)"));
  loglib::flush_log_cache();
  for (const Texts& lines : {errors.take(), slow.take()}) {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, lines[0].size() - 1).find('\n'), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\\x0A01_01 forged\\x1B"), std::string::npos) << lines[0];
  }
  // A line of bounded length: an error() of megabytes keeps its start.
  EXPECT_FALSE(group.Do("error(string.rep('x', 2 ^ 22), 0)"));
  loglib::flush_log_cache();
  slow.take();
  const Texts big = errors.take();
  ASSERT_EQ(big.size(), 1u);
  EXPECT_LT(big[0].size(), 70000u);
  EXPECT_NE(big[0].find("xxx... (4128768 bytes more)"), std::string::npos);
  SetTimerFunctionTick(nullptr);
}

// Next and Prev wrap around the filled slots; a name finds the lowest level it starts.
TEST(CmdArray, SlotsWrapAroundTheFilledLevelsAndANameFindsTheLowestMatch) {
  cCmdArray array, single;
  cRecordCmd zero("cCmd_Script"), three("cCmd_Account"), seven("cCmd_Account"), stranger("cCmd_X");
  array.AddCmd(7, &seven);
  array.AddCmd(3, &three);
  array.AddCmd(0, &zero);
  EXPECT_EQ(array.GetCmdCount(), 8u);
  EXPECT_EQ(array.GetCmd(1), nullptr);
  EXPECT_EQ(array.GetCmd(99), nullptr);
  EXPECT_EQ(array.FindCmd(&three), 3);
  EXPECT_EQ(array.NextCmd(&seven), &zero);
  EXPECT_EQ(array.NextCmd(&zero), &three);
  EXPECT_EQ(array.PrevCmd(&zero), &seven);
  EXPECT_EQ(array.PrevCmd(&stranger), &zero);
  EXPECT_EQ(array.FindCmd("Acc"), &three);
  EXPECT_EQ(array.FindCmd("cCmd_Account"), nullptr);
  single.AddCmd(2, &stranger);
  EXPECT_EQ(single.GetDefaultCmd(), &stranger);
  EXPECT_EQ(single.NextCmd(&stranger), nullptr);
}

// An answer that another process sent is shown without the controls it held (a clipboard write,
// a title, a screen clear), its text and line ends whole.
TEST(CmdArray, AnswersAndFailedTextsReachTheConsoleWithoutTerminalControls) {
  cCmdArray array;
  cRecordCmd group("cCmd_Out");
  array.AddCmdOutput(0, &group, nullptr);
  testkit::cStdoutCapture out;
  EXPECT_TRUE(group.Do("Output('a\\27]52;c;aGk=\\7b\\27[2J\\n\\194\\1552Jc')"));
  EXPECT_EQ(out.Text(), "Output() ab\nc\n");
  // So are the error lines that quote a failed text (a peer's command on a server's console).
  EXPECT_FALSE(group.Do("nosuch('\33]52;c;aGk=\7') x = '\33[2J"));
  EXPECT_EQ(out.Text().find('\33'), std::string::npos) << out.Text();
  // A narrowed account's commands that call Output, or print on the console otherwise, in a loop
  // share one bound of lines and bytes, without terminal controls; the console's own lines pass.
  testkit::cStdoutCapture flood;
  cConsoleBound::Install();
  {
    const cCmdRightsScope narrowed(std::make_shared<stCmdRights>());
    std::cout << "name \33]52;c;aGk=\7" << std::endl;
    EXPECT_TRUE(group.Do("for i = 1, 1000 do Output('x') end"));
    for (int i = 0; i < 1000; ++i) std::cout << "report " << i << std::endl;
    std::cout << std::string(1 << 20, 'y') << std::endl << "unfinished";
  }
  for (int i = 0; i < 300; ++i) std::cout << "own" << std::endl;
  const std::string text = flood.Text();
  EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 800);
  EXPECT_LT(text.size(), 200000u);
  EXPECT_EQ(testkit::CountOf(text, "own\n"), 300u);
  EXPECT_NE(text.find("name \n"), std::string::npos) << text.substr(0, 400);
  EXPECT_EQ(text.find('\33'), std::string::npos);
  // Lines left out and no later line to say so: the worker's pass says it once their second ends.
  const std::string said = " console lines of narrowed accounts left out\n";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  cConsoleBound::SayLeftOut();
  EXPECT_EQ(testkit::CountOf(flood.Text(), said), testkit::CountOf(text, said) + 1);
  // The line the flood left unfinished, left out, is not the next narrowed command's first.
  const cCmdRightsScope next(std::make_shared<stCmdRights>());
  std::cout << "next" << std::endl;
  EXPECT_NE(flood.Text().find("next\n"), std::string::npos);
  // The system's own notice passes the account's flood; past the notices' own bound the count
  // names the last one left out.
  for (int i = 0; i < 200; ++i) std::cout << "flood" << std::endl;
  cConsoleBound::Notice("not sent to global: path longer than 32 hops, dropped.");
  EXPECT_NE(flood.Text().find("hops, dropped.\n"), std::string::npos);
  for (int i = 0; i < 50; ++i) cConsoleBound::Notice("notice " + std::to_string(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  cConsoleBound::SayLeftOut();
  EXPECT_TRUE(
      testkit::InOrder(flood.Text(), {" left out, the last notice among them: notice 49\n"}));
}

// Standard output whose flush failed once (a file on a full disk) takes the later lines.
TEST(Cmd, TheConsoleWritesAgainAfterAFlushThatFailed) {
  struct : std::stringbuf {
    int sync() override { return str() == "full\n" ? -1 : 0; }
  } target;
  cConsoleBound bound(&target);
  std::ostream(&bound) << "full" << std::endl << "again" << std::endl;
  // A narrowed account's line left unfinished ends with its command, not in the next one's text.
  for (const bool narrowedNext : {false, true}) {
    {
      const cCmdRightsScope forger(std::make_shared<stCmdRights>());
      std::ostream(&bound) << "[ops] ok: ";
    }
    const cCmdRightsScope next(narrowedNext ? std::make_shared<stCmdRights>() : nullptr);
    std::ostream(&bound) << "Kick('ops')" << std::endl;
  }
  EXPECT_EQ(target.str(), "full\nagain\n[ops] ok: \nKick('ops')\n[ops] ok: \nKick('ops')\n");
}

}  // namespace
