#include "tessel/core/cmd_rights.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd.h"
#include "tessel/core/denied_log.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

CmdRightsPtr Rights(const std::string& allow, const std::string& deny = "",
                    const std::string& account = "ro") {
  auto rules = std::make_shared<cRightRules>();
  std::string error;
  rules->m_bAllowList = !allow.empty();
  if (!allow.empty()) {
    EXPECT_TRUE(cRightRules::ParseItems(allow, rules->m_allow, error)) << error;
  }
  if (!deny.empty()) {
    EXPECT_TRUE(cRightRules::ParseItems(deny, rules->m_deny, error)) << error;
  }
  auto rights = std::make_shared<stCmdRights>();
  rights->account = account;
  rights->origin = account + "@here";
  rights->rules.push_back(rules);
  return rights;
}

std::string ParseError(const std::string& list) {
  std::vector<stRightItem> items;
  std::string error;
  EXPECT_FALSE(cRightRules::ParseItems(list, items, error)) << list;
  return error;
}

TEST(CmdRights, ItemListsAreReadWholeOrRefusedWithTheReason) {
  std::vector<stRightItem> items;
  std::string error;
  ASSERT_TRUE(cRightRules::ParseItems("@read,4,Maint,4:Ver,Acc:Accounts,@all", items, error));
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[1].level, 4);
  EXPECT_EQ(items[2].word, "Maint");
  EXPECT_EQ(items[3].func, "Ver");
  EXPECT_EQ(ParseError("@read,,4"), "an empty item");
  EXPECT_EQ(ParseError("@reed"), "unknown category '@reed'");
  EXPECT_EQ(ParseError("maint"), "no group's name starts with 'maint'");
  EXPECT_EQ(ParseError("51"), "no group has the number 51");
  EXPECT_EQ(ParseError("4:NoSuch"), "no function '4:NoSuch'");
  EXPECT_EQ(ParseError("5:Ver"), "no function '5:Ver'");

  std::vector<std::string> targets;
  EXPECT_TRUE(cRightRules::ParseTargets("map*,global", targets, error));
  EXPECT_FALSE(cRightRules::ParseTargets("map,,global", targets, error));
  EXPECT_TRUE(MatchProcessPattern("map*", "map12"));
  EXPECT_TRUE(MatchProcessPattern("*a*p", "mapmap"));
  EXPECT_FALSE(MatchProcessPattern("map", "map1"));
  EXPECT_FALSE(MatchProcessPattern("*map", "mapx"));
}

// allow grants only its items, deny takes away and wins; the login group stays open; carried
// rights and a hop's own are both needed.
TEST(CmdRights, AllowDenyTheLoginGroupAndTheLesserOfTwoSets) {
  cCmdFuncs maintain, login;
  maintain.SetGroup("Maintain");
  login.SetGroup("Login");
  for (const char* name : {"Ver", "dos", "Restart", "downloadfile"}) maintain.Add(name);
  login.Add("Logout");
  const auto& ver = *maintain.Find("Ver");
  const auto& dos = *maintain.Find("dos");
  const auto& restart = *maintain.Find("Restart");
  const auto& download = *maintain.Find("downloadfile");
  EXPECT_EQ(dos.right, eCmdRight::kShell);

  EXPECT_TRUE(Rights("@read")->Allows(ver));
  EXPECT_FALSE(Rights("@read")->Allows(dos));
  EXPECT_TRUE(Rights("@read")->Allows(*login.Find("Logout")));
  EXPECT_FALSE(Rights("@all", "@shell")->Allows(dos));
  EXPECT_TRUE(Rights("@all", "@shell")->Allows(restart));
  EXPECT_TRUE(Rights("4:Ver")->Allows(ver));
  EXPECT_FALSE(Rights("4:Ver")->Allows(download));
  EXPECT_TRUE(Rights("Maint", "4:Restart")->Allows(download));
  EXPECT_FALSE(Rights("Maint", "4:Restart")->Allows(restart));
  EXPECT_TRUE(Rights("", "@admin")->Allows(dos));

  auto both = std::make_shared<stCmdRights>(*Rights("@files,@read"));
  both->rules.push_back(Rights("@all", "@files")->rules[0]);
  EXPECT_TRUE(both->Allows(ver));
  EXPECT_FALSE(both->Allows(download));
}

// A group whose Touch creates a marker file (it needs @shell) and whose Note records that it
// ran (@read).
class RightsCallTest : public ::testing::Test {
 protected:
  struct cProbe : cCmd {
    void bind_cln(lua_State* L) override {
      luareg::def(L, "Touch", [](const char* path) { std::fclose(std::fopen(path, "w")); });
      luareg::def(L, "Note", [this] { ++notes; });
    }
    const char* GetName() override { return "cCmd_RightsProbe"; }
    int notes = 0;
  };
  void SetUp() override {
    probe.Create();
    probe.Funcs().SetRight("Touch", eCmdRight::kShell);
    probe.Funcs().SetRight("Note", eCmdRight::kRead);
    cDeniedLog::Instance().Clear();
  }
  // Runs the text as `rights`; what it printed.
  std::string Run(const std::string& text, const CmdRightsPtr& rights, bool* ok = nullptr) {
    cCmdRightsScope scope(rights);
    testkit::cStdoutCapture capture;
    const bool done = probe.Do(text.c_str());
    if (ok != nullptr) *ok = done;
    return capture.Text();
  }
  testkit::cTempDir dir;
  cProbe probe;
};

// Every indirect form is refused as the plain call is: nothing after the refusal runs, even
// under pcall, and the requester's one line names account, function and right.
TEST_F(RightsCallTest, EveryFormOfACallIsRefusedAndEndsTheChunk) {
  const std::string marker = dir.path().string() + "/marker";
  for (const std::string form :
       {"Touch('M')", "if 1 then Touch('M') end", "pcall(Touch,'M')", "local t = Touch t('M')",
        "loadstring(\"Touch('M')\")()", "coroutine.wrap(function() Touch('M') end)()"}) {
    std::string text = form;
    text.replace(text.find('M'), 1, marker);
    bool ok = true;
    const std::string out = Run(text + " ran = true Note()", Rights("@read"), &ok);
    EXPECT_FALSE(ok) << form;
    EXPECT_EQ(out, "refused: ro may not run Touch (needs @shell)\n") << form;
    EXPECT_FALSE(std::filesystem::exists(marker)) << form;
    EXPECT_EQ(probe.notes, 0) << form;
    EXPECT_TRUE(probe.Do("assert(ran == nil)")) << form;
  }
  Run("Note()", Rights("@read"));
  EXPECT_EQ(probe.notes, 1);
  // Without rights (the local console) everything runs.
  Run("Touch('" + marker + "')", nullptr);
  EXPECT_TRUE(std::filesystem::exists(marker));
  // The check in between keeps the function's name in an argument error.
  EXPECT_NE(Run("Touch()", nullptr).find("bad argument #1 to 'Touch'"), std::string::npos);
}

TEST_F(RightsCallTest, BuiltinsReachingTheSystemNeedShell) {
  const std::string marker = dir.path().string() + "/m2";
  for (const std::string& text : std::vector<std::string>{
           "pcall(os.execute,'touch " + marker + "')", "io.open('" + marker + "','w')",
           "local f = io.stdout f:write('x')", "require('nosuch')", "os.getenv('HOME')",
           "dofile('" + marker + "')", "debug.getinfo(1)", "package.loadlib('x','y')"}) {
    const std::string out = Run(text + " Note()", Rights("@all", "@shell"));
    EXPECT_EQ(out.rfind("refused: ro may not run ", 0), 0u) << text << ": " << out;
    EXPECT_NE(out.find("(needs @shell)\n"), std::string::npos) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(probe.notes, 0);
  // What only reports of the clock stays open.
  Run("if os.time() > 0 and os.clock() >= 0 then Note() end", Rights("@all", "@shell"));
  EXPECT_EQ(probe.notes, 1);
}

// Repeats within 60 s count on one entry; later ones, or of another function, add an entry;
// the log keeps the last 128.
TEST_F(RightsCallTest, DeniedMergesRepeatsWithinAMinuteAndKeepsTheLast128) {
  int64_t now = 1'700'000'000;
  cDeniedLog::Instance().SetClock([&] { return now; });
  for (int i = 0; i < 3; ++i) Run("Touch('x')", Rights("@read"));
  now += 59;
  Run("Touch('x')", Rights("@read"));
  now += 60;
  Run("Touch('x')", Rights("@read"));
  Run("os.exit(1)", Rights("@read"));
  auto entries = cDeniedLog::Instance().Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].count, 4);
  EXPECT_EQ(entries[0].origin, "ro@here");
  EXPECT_EQ(entries[0].right, "@shell");
  EXPECT_EQ(entries[1].count, 1);
  EXPECT_EQ(entries[2].func, "os.exit");
  now += 30;  // a repeat counts on the entry it repeats, older entries behind it or not
  Run("Touch('x')", Rights("@read"));
  now += 40;
  Run("Touch('x')", Rights("@read"));
  EXPECT_EQ(cDeniedLog::Instance().Entries()[1].count, 3);
  for (int i = 0; i < 200; ++i)
    cDeniedLog::Instance().Note("a" + std::to_string(i), "o", "f", "@r");
  entries = cDeniedLog::Instance().Entries();
  EXPECT_EQ(entries.size(), cDeniedLog::kKept);
  EXPECT_EQ(entries.back().account, "a199");
  cDeniedLog::Instance().SetClock(nullptr);
}

}  // namespace
