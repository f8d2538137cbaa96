#include "tessel/link/account_manager.h"

#include <gtest/gtest.h>

#include "tessel/core/config_stores.h"
#include "tessel/core/login_text.h"
#include "testkit/link_test_util.h"
#include "testkit/stdout_capture.h"

namespace {

// Runs in a temporary home holding db/accounts, links 1 and 2 connected; the answers, printed
// while no command from a link is served, are kept out of the test's output.
class AccountTest : public testing::Test {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    home_.write("db/accounts/gm.ini", "password = s3cret\ncmd = 9\n");
    home_.write("db/accounts/low.ini", "password = p\n");
    home_.write("db/accounts/broken.ini", "cmd = 2\n");
    for (unsigned link : {1, 2}) manager_.OnConnect(link);
  }
  bool Login(unsigned link, const char* name, const char* password) {
    return manager_.Login(link, name, password);
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  testkit::cStdoutCapture quiet_;
  cAccountManagerHelpServer manager_;
};

// The level comes from the account file; a file without one grants 0; without login checks
// anyone gets level 1.
TEST_F(AccountTest, LoginWithTheAccountFileGrantsItsLevel) {
  EXPECT_TRUE(Login(1, "gm", "s3cret"));
  ASSERT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(1));
  EXPECT_EQ(manager_.GetAccount(1)->GetLevel(), 9);
  EXPECT_TRUE(Login(2, "low", "p"));
  EXPECT_EQ(manager_.GetAccount(2)->GetLevel(), 0);
  EXPECT_EQ(manager_.GetAccountNum(), 2u);
  SetConfigValue("check_login", 0);
  manager_.OnConnect(3);
  EXPECT_TRUE(Login(3, "anyone", "whatever"));
  EXPECT_EQ(manager_.GetAccount(3)->GetLevel(), 1);
}

// Wrong passwords, missing or broken files, unknown links and names that could leave the
// account folder are refused and change nothing.
TEST_F(AccountTest, RefusalsChangeNothing) {
  home_.write("db/x/evil.ini", "password = p\ncmd = 20\n");
  home_.write("db/accounts/.hidden.ini", "password = p\ncmd = 20\n");
  for (const char* name :
       {"nobody", "broken", "../x/evil", "..", ".hidden", "a/b", "a\\b", "a b", "", "x\ny"})
    EXPECT_FALSE(Login(1, name, "p")) << name;
  EXPECT_FALSE(Login(1, "gm", "S3cret") || Login(1, "gm", "s3cre") || Login(9, "gm", "s3cret"));
  EXPECT_FALSE(manager_.GetAccount(1)->IsLogin());
  EXPECT_EQ(manager_.GetAccountNum(), 0u);
  EXPECT_TRUE(IsSafeAccountName("o'neil") && IsSafeAccountName("玩家"));
  EXPECT_FALSE(IsSafeAccountName(std::string(65, 'a').c_str()));
  EXPECT_TRUE(PasswordsEqual("", ""));
  EXPECT_FALSE(PasswordsEqual("", "a"));
  EXPECT_EQ(MaskPassword("secret"), "******");
  EXPECT_EQ(MaskPassword("a-very-long-password"), "********");
}

TEST_F(AccountTest, OneNameIsLoggedInOnOneLinkAtATime) {
  EXPECT_TRUE(Login(1, "gm", "s3cret"));
  EXPECT_FALSE(Login(2, "gm", "s3cret"));
  EXPECT_FALSE(Login(1, "low", "p")) << "log out first";
  EXPECT_TRUE(manager_.Logout(1));
  EXPECT_TRUE(manager_.Logout(2)) << "a link that never logged in logs out quietly";
  EXPECT_FALSE(manager_.Logout(9));
  EXPECT_TRUE(Login(2, "gm", "s3cret"));
  // A record named by SetLogin after another link's account: when its own link goes down, the
  // other link keeps the name.
  manager_.SetLogin(1, "gm", 4);
  EXPECT_FALSE(manager_.OnDisconnect(1));
  EXPECT_EQ(manager_.FindAccount("gm"), manager_.GetAccount(2));
  EXPECT_EQ(manager_.GetAccount(1), nullptr);
}

}  // namespace
