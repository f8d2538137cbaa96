// Rights of console accounts against a real server and tessel_cli: for each kind of operator
// (read-only, everything but @shell, maintenance files only, limited to the map processes)
// what it may run and what is refused, the indirect forms included; every refused line ran
// nothing (the marker file never appears), each refusal is one line and exit code 1.
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/in_order.h"

namespace e2e {
namespace {

struct stRow {
  const char* account;
  const char* rights;
  std::vector<std::string> allowed;  // lines, each with a text its output holds
  std::vector<std::string> refused;  // lines that must be refused, with the right named
};

TEST(RightsE2e, EachKindOfOperatorRunsWhatItMayAndNothingElse) {
  cHome home;
  const std::string marker = (home.path() / "marker").string();
  const std::string touch = "touch " + marker;
  const stRow rows[] = {
      {"viewer",
       "allow = @read",
       {"/4/Ver()|func_Version", "/1/Accounts()|func_Accounts"},
       {"/15/System('" + touch + "')|needs @shell", "/0/pcall(os.execute,'" + touch + "')|@shell",
        "/0/loadstring(\"os.execute('" + touch + "')\")()|@shell",
        "/13/SetConfigValue('x',1)|needs @write", "/7/SendRemoteCmd('map',15,'System()')|@net"}},
      {"gm",
       "allow = @all\ndeny = @shell",
       {"/13/SetConfigValue('x',1)|", "/4/Ver()|func_Version"},
       {"/4/dos('" + touch + "')|needs @shell",
        "/0/if 1 then io.open('" + marker + "','w') end|@shell",
        "/15/Hello() System('" + touch + "')|needs @shell"}},
      {"deploy",
       "allow = @files,4:Ver",
       {"/4/Ver()|func_Version"},
       {"/6/Hello()|needs @read", "/15/System('" + touch + "')|needs @shell",
        "/4/Restart()|needs @admin"}},
      {"mapops",
       "allow = @all\ndeny = @shell,@admin\ntargets = map*",
       {"/4/Ver()|func_Version"},
       {"/7/SendRemoteCmd('global',4,'Ver()')|outside its targets",
        "/9/SendToServer('global',4,'Ver()')|outside its targets",
        "/13/SetConfigValue('check_login',0)|needs @admin"}},
  };
  for (const stRow& row : rows)
    home.write(std::string("db/accounts/") + row.account + ".ini",
               std::string("password = pw\ncmd = 1\n") + row.rights + "\n");
  cServerProcess game(home, Words("game", Listen()));
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  ASSERT_NE(address, "127.0.0.1:0") << game.Output();

  for (const stRow& row : rows) {
    SCOPED_TRACE(row.account);
    for (const std::string& line : row.allowed) {
      const size_t bar = line.find('|');
      const stCliRun run =
          RunCli(home, {"-u", row.account, "-c", line.substr(0, bar), address}, "pw");
      EXPECT_EQ(run.code, 0) << line << "\n" << run.out << run.err;
      EXPECT_NE(run.out.find(line.substr(bar + 1)), std::string::npos) << line << "\n" << run.out;
    }
    for (const std::string& line : row.refused) {
      const size_t bar = line.find('|');
      const stCliRun run =
          RunCli(home, {"-u", row.account, "-c", line.substr(0, bar), address}, "pw");
      EXPECT_EQ(run.code, 1) << line << "\n" << run.out << run.err;
      EXPECT_TRUE(testkit::InOrder(
          run.out,
          {std::string("refused: ") + row.account + " may not run ", line.substr(bar + 1)}))
          << line;
      EXPECT_NE(run.err.find("refused: "), std::string::npos) << line << "\n" << run.err;
    }
  }
  // What a shell line would have made shows within its time; none was started.
  EXPECT_TRUE(game.Ask("/1/Denied()", {"account=viewer", "function=System", "right=@shell"}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  game.QuitInOrder();
}

}  // namespace
}  // namespace e2e
