#include "tessel/core/cmd.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessel/contracts/loglib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/timers/timer_function.h"
#include "testkit/stdout_capture.h"

namespace {

std::uint32_t g_tick = 1000;
std::uint32_t Tick() {
  return g_tick;
}

// Everything the loggers that report commands received.
std::mutex g_logLock;
std::string g_logged;

// A login function that runs slowly, looks at what the host would show of the running command,
// and refuses with a message that names the password.
class cLoginProbe : public cCmd {
 public:
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Login", [this](const char*, const char* password) {
      shown += cCmd::CurCmdText() + "\n";
      raw = cCmd::s_szCmd;
      g_tick += 250;
      throw std::runtime_error(std::string("refused ") + password);
    });
  }
  const char* GetName() override { return "cCmd_LoginProbe"; }
  std::string shown;
  std::string raw;
};

class CmdMaskTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"script.error", "tessel.timererror"})
      loglib::add_appender(
          loglib::default_manager(), name,
          [](const std::string& line) {
            std::lock_guard<std::mutex> lock(g_logLock);
            g_logged += line + "\n";
          },
          1000);
    loglib::flush_log_cache();
  }
  void SetUp() override {
    SetTimerFunctionTick(&Tick);
    group_.Create();
  }
  void TearDown() override { SetTimerFunctionTick(nullptr); }
  // Runs `text`; everything shown of it: standard output, the loggers and the host's view.
  std::string Shown(const std::string& text, bool& ok) {
    {
      std::lock_guard<std::mutex> lock(g_logLock);
      g_logged.clear();
    }
    group_.shown.clear();
    testkit::cStdoutCapture capture;
    ok = group_.Do(text.c_str());
    loglib::flush_log_cache();
    std::lock_guard<std::mutex> lock(g_logLock);
    return capture.Text() + g_logged + group_.shown;
  }
  cLoginProbe group_;
};

// A failing login call (in Lua, in the native function, or slower than the guard allows) is
// reported without its password, wherever the report goes.
TEST_F(CmdMaskTest, AFailingLoginCallNeverShowsItsPassword) {
  const char* texts[] = {
      "Login('gm','s3cret')",
      "Login('gm',\"s3cret\")",
      "Login('gm','s3cret'",
      "Login('gm','s3cret') x",
      "Login('gm','s3cret') Login('gm','s3cret')",
      "print('') Login('gm','s3cret')",
      "Login('gm','s3cret',)",
      "Login('gm',[[s3cret]])",
      "Login('gm','s3'..'cret')",
      "Login('gm','s3c\\114et')",
      "Login('gm','it\\'s3cret')",
  };
  for (const char* text : texts) {
    bool ok = true;
    const std::string shown = Shown(text, ok);
    EXPECT_FALSE(ok) << text;
    EXPECT_EQ(shown.find("s3cret"), std::string::npos) << text << "\n" << shown;
    EXPECT_NE(shown.find("cCmd::Do error cmd cCmd_LoginProbe do "), std::string::npos) << shown;
  }
}

// The masked report still tells what failed; a text that is not one login call keeps only the
// place of its error; other failing commands are shown whole.
TEST_F(CmdMaskTest, TheReportStillTellsWhatFailed) {
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"print('') Login('gm','s3cret')",
       {"lua_dostring error cCmd_LoginProbe [string \"cCmd_LoginProbe\"]:1: "
        "(message hidden: the command may hold a password)\n",
        "do print('') Login(***)\n"}},
      {"Logout('s3cret'", {"do Logout('s3cret'\n", "near '<eof>'"}},
      {"Login('gm','s3cret')",
       {"cCmd::Do error cmd cCmd_LoginProbe do Login('gm','******')\n", "refused ***",
        "\nLogin('gm','******')\n"}},
  };
  for (const auto& [text, parts] : cases) {
    bool ok = true;
    const std::string shown = Shown(text, ok);
    EXPECT_FALSE(ok);
    for (const char* part : parts)
      EXPECT_NE(shown.find(part), std::string::npos) << part << "\n" << shown;
  }
  // Path routing reads the running text of the last case itself, which stays whole.
  EXPECT_EQ(group_.raw, "Login('gm','s3cret')");
}

}  // namespace
