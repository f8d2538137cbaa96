#include "tessel/link/account_manager.h"
#include "tessel/core/login_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tessel/core/config_stores.h"
#include "testkit/link_test_util.h"

namespace fs = std::filesystem;

namespace {

// Runs in a temporary working folder holding db/accounts; captures the command output, which
// goes to standard output while no command from a link is served.
class AccountTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories("db/accounts");
    SetConfigValue("check_login", 1);
  }
  void WriteAccount(const std::string& name, const std::string& text) {
    std::ofstream("db/accounts/" + name + ".ini") << text;
  }
  // Runs `step` and returns what it wrote to the command output.
  template <class F>
  std::string Output(F step) {
    testing::internal::CaptureStdout();
    step();
    return testing::internal::GetCapturedStdout();
  }

  linktest::cTempHome home_;
  cAccountManagerHelpServer manager_;
};

TEST_F(AccountTest, LoginWithTheAccountFileGrantsItsLevel) {
  WriteAccount("gm", "password = s3cret\ncmd = 9\n");
  manager_.OnConnect(3);
  std::string out = Output([&] { EXPECT_TRUE(manager_.Login(3, "gm", "s3cret")); });
  EXPECT_EQ(out, "login ok gm cmd level = 9 成功登陆\n");
  ASSERT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(3));
  EXPECT_EQ(manager_.GetAccount(3)->GetLevel(), 9);
  EXPECT_EQ(manager_.GetAccountNum(), 1u);
}

TEST_F(AccountTest, RefusalsAreReportedAndChangeNothing) {
  WriteAccount("gm", "password = s3cret\ncmd = 9\n");
  WriteAccount("broken", "cmd = 2\n");
  manager_.OnConnect(1);
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(1, "gm", "S3cret")); }),
            "login error 密码错误\n");
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(1, "nobody", "x")); }),
            "login error 没有找到文件db/accounts/nobody.ini, 该账号不存在\n");
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(1, "broken", "x")); }),
            "login error 文件载入错误\n");
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(2, "gm", "s3cret")); }),
            "login error not find player\n");
  EXPECT_FALSE(manager_.GetAccount(1)->IsLogin());
  EXPECT_EQ(manager_.GetAccountNum(), 0u);
}

TEST_F(AccountTest, AFileWithoutALevelLogsInAtLevelZero) {
  WriteAccount("low", "password = p\n");
  manager_.OnConnect(1);
  EXPECT_EQ(Output([&] { EXPECT_TRUE(manager_.Login(1, "low", "p")); }),
            "login ok low cmd level = 0 成功登陆\n");
}

TEST_F(AccountTest, OneNameIsLoggedInOnOneLinkAtATime) {
  WriteAccount("gm", "password = p\ncmd = 4\n");
  manager_.OnConnect(1);
  manager_.OnConnect(2);
  Output([&] { ASSERT_TRUE(manager_.Login(1, "gm", "p")); });
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(2, "gm", "p")); }),
            "login error player already logined\n");
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(1, "other", "p")); }),
            "login error 已经在登录中了，请先Logout\n");
  EXPECT_EQ(Output([&] { EXPECT_TRUE(manager_.Logout(1)); }), "logout ok Account gm logout \n");
  Output([&] { EXPECT_TRUE(manager_.Login(2, "gm", "p")); });
}

TEST_F(AccountTest, WithoutLoginChecksAnyoneGetsLevelOneAndNoFileIsRead) {
  SetConfigValue("check_login", 0);
  manager_.OnConnect(1);
  Output([&] { EXPECT_TRUE(manager_.Login(1, "anyone", "whatever")); });
  EXPECT_EQ(manager_.GetAccount(1)->GetLevel(), 1);
}

TEST_F(AccountTest, NamesThatCouldLeaveTheAccountFolderAreRefusedBeforeAnyFileAccess) {
  fs::create_directories("db/x");
  std::ofstream("db/x/evil.ini") << "password = p\ncmd = 20\n";
  std::ofstream("db/accounts/.hidden.ini") << "password = p\ncmd = 20\n";
  manager_.OnConnect(1);
  for (const char* name : {"../x/evil", "..", ".hidden", "a/b", "a\\b", "a b", "", "x\ny"})
    EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Login(1, name, "p")); }),
              "login error invalid account name\n")
        << name;
  EXPECT_TRUE(IsSafeAccountName("game_220"));
  EXPECT_TRUE(IsSafeAccountName("o'neil"));
  EXPECT_TRUE(IsSafeAccountName("玩家"));
  EXPECT_FALSE(IsSafeAccountName(std::string(65, 'a').c_str()));
}

TEST_F(AccountTest, LogoutOfALinkThatNeverLoggedInIsQuietlyTrue) {
  manager_.OnConnect(1);
  EXPECT_EQ(Output([&] { EXPECT_TRUE(manager_.Logout(1)); }), "");
  EXPECT_EQ(Output([&] { EXPECT_FALSE(manager_.Logout(9)); }), "logout error not find player\n");
}

TEST_F(AccountTest, ARecordNamedBySetLoginCannotTakeAnotherLinksNameOut) {
  WriteAccount("gm", "password = p\ncmd = 4\n");
  manager_.OnConnect(1);
  manager_.OnConnect(2);
  Output([&] { ASSERT_TRUE(manager_.Login(1, "gm", "p")); });
  manager_.SetLogin(2, "gm", 4);
  Output([&] { EXPECT_FALSE(manager_.OnDisconnect(2)); });
  EXPECT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(1));
  EXPECT_EQ(manager_.GetAccount(2), nullptr);
}

TEST_F(AccountTest, WithoutNeedLoginNewLinksStartAsOpsuser) {
  manager_.SetNeedLogin(false);
  iAccount* account = manager_.CreateAccount(5);
  EXPECT_STREQ(account->GetName(), "opsuser");
  EXPECT_EQ(account->GetLevel(), 1);
  EXPECT_EQ(account->GetLinkID(), 5u);
  EXPECT_EQ(manager_.FindAccount("opsuser"), nullptr);
  EXPECT_EQ(manager_.CreateAccount(5), account);
}

TEST_F(AccountTest, ListingsPrintNamesCountsAndRecords) {
  WriteAccount("gm", "password = p\ncmd = 4\n");
  manager_.OnConnect(7);
  Output([&] { manager_.Login(7, "gm", "p"); });
  EXPECT_EQ(Output([&] { manager_.Accounts(); }), "gm ");
  EXPECT_EQ(Output([&] { manager_.Account("gm"); }), "7 gm 4");
  EXPECT_EQ(Output([&] { manager_.Account("zz"); }), "noplayer");
  EXPECT_EQ(Output([&] { manager_.AccountNum(); }), "1\n");
  manager_.SetOnlyNum(true);
  EXPECT_EQ(Output([&] { manager_.Accounts(); }), "1 ");
}

TEST(PasswordsEqual, ComparesWholeStrings) {
  EXPECT_TRUE(PasswordsEqual("abc", "abc"));
  EXPECT_FALSE(PasswordsEqual("abc", "abd"));
  EXPECT_FALSE(PasswordsEqual("abc", "abcd"));
  EXPECT_FALSE(PasswordsEqual("", "a"));
  EXPECT_TRUE(PasswordsEqual("", ""));
  EXPECT_EQ(MaskPassword("secret"), "******");
  EXPECT_EQ(MaskPassword("a-very-long-password"), "********");
}

}  // namespace
