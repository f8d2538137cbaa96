// A server program's own life: every way of ending it ends it in order with exit code 0.
#include <signal.h>

#include <functional>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

// A test that writes to a process that has already ended must not end itself.
const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

struct stEnding {
  const char* name;
  std::vector<std::string> extraWords;
  std::function<void(cServerProcess&)> end;
  const char* said;  // what the program writes on its way out
};

TEST(Lifecycle, EveryWayOfEndingRunsTheOrderlyEndAndExitsWithZero) {
  const std::vector<stEnding> endings = {
      {"quit typed", {}, [](cServerProcess& p) { p.Type("quit"); }, "program quit... "},
      {"q typed", {}, [](cServerProcess& p) { p.Type("q"); }, "program quit... "},
      {"end of input", {}, [](cServerProcess& p) { p.CloseInput(); }, "program quit... "},
      {"end of input after an open line",
       {},
       [](cServerProcess& p) {
         p.Send("Ver()");
         p.CloseInput();
       },
       "program quit... "},
      {"SIGTERM", {}, [](cServerProcess& p) { p.Signal(SIGTERM); }, "CTRL_CLOSE_EVENT invoke"},
      {"SIGINT", {}, [](cServerProcess& p) { p.Signal(SIGINT); }, "CTRL_C_EVENT invoke"},
      {"initcmd quit", {"initcmd", "=", "quit"}, [](cServerProcess&) {}, "program quit... "},
  };
  for (const stEnding& ending : endings) {
    SCOPED_TRACE(ending.name);
    cHome home;
    cServerProcess server(home, Words("game", ending.extraWords));
    ASSERT_TRUE(server.Running());
    ASSERT_TRUE(server.WaitOutput("!>"));
    ending.end(server);
    EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    const std::string out = server.Output();
    EXPECT_NE(out.find(ending.said), std::string::npos) << out;
    // The end sequence ran to its last step: both of its times are in the registry store.
    EXPECT_FALSE(home.RegistryValue("Software/tessel_server", "endtime").empty());
    EXPECT_FALSE(home.RegistryValue("Software/tessel_server", "exittime").empty());
    EXPECT_NE(home.ReadAll("log").find("cTessel thread ended ... "), std::string::npos);
  }
}

TEST(Lifecycle, AMalformedLaunchParameterIsReportedAndNothingStarts) {
  const std::vector<std::vector<std::string>> bad = {
      {"listen", "=", "70000"},    {"connect", "=", "global"},     {"connect", "=", "global:0"},
      {"connect", "=", "a:1,a:2"}, {"listenip", "=", "localhost"},
  };
  for (const auto& words : bad) {
    SCOPED_TRACE(words[2]);
    cHome home;
    cServerProcess server(home, Words("game", words));
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_NE(server.Output().find("tessel_server: " + words[0]), std::string::npos);
    EXPECT_EQ(server.Output().find("!>"), std::string::npos);
  }
}

}  // namespace
}  // namespace e2e
