#include "tessel/link/account_manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tessel/core/config_stores.h"
#include "tessel/core/login_text.h"
#include "testkit/file_text.h"
#include "testkit/link_test_util.h"
#include "testkit/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Runs in a temporary working folder holding db/accounts; the answers go to standard output
// while no command from a link is served.
class AccountTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories("db/accounts");
    SetConfigValue("check_login", 1);
    std::ofstream("db/accounts/gm.ini") << "password = s3cret\ncmd = 9\n";
    std::ofstream("db/accounts/low.ini") << "password = p\n";
    std::ofstream("db/accounts/broken.ini") << "cmd = 2\n";
    for (unsigned link : {1, 2}) manager_.OnConnect(link);
  }
  // Logs in and returns the answer.
  std::string Login(unsigned link, const char* name, const char* password, bool ok) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(manager_.Login(link, name, password), ok) << name;
    return testing::internal::GetCapturedStdout();
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cAccountManagerHelpServer manager_;
};

TEST_F(AccountTest, LoginWithTheAccountFileGrantsItsLevelAndZeroWithoutOne) {
  EXPECT_EQ(Login(1, "gm", "s3cret", true), "login ok gm cmd level = 9 成功登陆\n");
  ASSERT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(1));
  EXPECT_EQ(manager_.GetAccount(1)->GetLevel(), 9);
  EXPECT_EQ(Login(2, "low", "p", true), "login ok low cmd level = 0 成功登陆\n");
  EXPECT_EQ(manager_.GetAccountNum(), 2u);
}

// Each refusal names its reason and leaves the link logged out.
TEST_F(AccountTest, RefusalsAreReportedAndChangeNothing) {
  const struct {
    unsigned link;
    const char* name;
    const char* password;
    const char* said;
  } cases[] = {
      {1, "gm", "S3cret", "login error 密码错误\n"},
      {1, "gm", "s3cre", "login error 密码错误\n"},
      {1, "nobody", "x", "login error 没有找到文件db/accounts/nobody.ini, 该账号不存在\n"},
      {1, "broken", "x", "login error 文件载入错误\n"},
      {9, "gm", "s3cret", "login error not find player\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Login(c.link, c.name, c.password, false), c.said);
  EXPECT_FALSE(manager_.GetAccount(1)->IsLogin());
  EXPECT_EQ(manager_.GetAccountNum(), 0u);
  EXPECT_TRUE(PasswordsEqual("", ""));
  EXPECT_FALSE(PasswordsEqual("", "a"));
  EXPECT_EQ(MaskPassword("secret"), "******");
  EXPECT_EQ(MaskPassword("a-very-long-password"), "********");
}

TEST_F(AccountTest, OneNameIsLoggedInOnOneLinkAtATime) {
  Login(1, "gm", "s3cret", true);
  EXPECT_EQ(Login(2, "gm", "s3cret", false), "login error player already logined\n");
  EXPECT_EQ(Login(1, "low", "p", false), "login error 已经在登录中了，请先Logout\n");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(manager_.Logout(1));
  EXPECT_TRUE(manager_.Logout(2)) << "a link that never logged in logs out quietly";
  EXPECT_FALSE(manager_.Logout(9));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "logout ok Account gm logout \nlogout error not find player\n");
  Login(2, "gm", "s3cret", true);
}

TEST_F(AccountTest, WithoutLoginChecksAnyoneGetsLevelOneAndNoFileIsRead) {
  SetConfigValue("check_login", 0);
  Login(1, "anyone", "whatever", true);
  EXPECT_EQ(manager_.GetAccount(1)->GetLevel(), 1);
}

TEST_F(AccountTest, NamesThatCouldLeaveTheAccountFolderAreRefusedBeforeAnyFileAccess) {
  fs::create_directories("db/x");
  std::ofstream("db/x/evil.ini") << "password = p\ncmd = 20\n";
  std::ofstream("db/accounts/.hidden.ini") << "password = p\ncmd = 20\n";
  for (const char* name : {"../x/evil", "..", ".hidden", "a/b", "a\\b", "a b", "", "x\ny"})
    EXPECT_EQ(Login(1, name, "p", false), "login error invalid account name\n") << name;
  EXPECT_TRUE(IsSafeAccountName("o'neil"));
  EXPECT_TRUE(IsSafeAccountName("玩家"));
  EXPECT_FALSE(IsSafeAccountName(std::string(65, 'a').c_str()));
}

// A record named by SetLogin after another link's logged-in account: when its own link goes
// down, the other link keeps the name.
TEST_F(AccountTest, ARecordNamedBySetLoginCannotTakeAnotherLinksNameOut) {
  Login(1, "gm", "s3cret", true);
  manager_.SetLogin(2, "gm", 4);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(manager_.OnDisconnect(2));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(1));
  EXPECT_EQ(manager_.GetAccount(2), nullptr);
}

}  // namespace
