#include "tessel/link/account_manager.h"

#include <gtest/gtest.h>

#include "tessel/core/config_stores.h"
#include "tessel/core/login_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

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
    for (unsigned link : {1, 2}) m_.OnConnect(link);
  }
  testkit::cTempDir home_{testkit::cTempDir::kHome};
  testkit::cStdoutCapture quiet_;
  cAccountManagerHelpServer m_;
};

// The level comes from the account file (none: 0; without login checks anyone gets 1); one name
// is logged in on one link at a time.
TEST_F(AccountTest, LoginGrantsTheFilesLevelAndOneNameIsOnOneLinkAtATime) {
  EXPECT_TRUE(m_.Login(1, "gm", "s3cret"));
  ASSERT_EQ(m_.FindAccount("gm"), m_.GetAccount(1));
  EXPECT_EQ(m_.GetAccount(1)->GetLevel(), 9);
  EXPECT_FALSE(m_.Login(2, "gm", "s3cret"));
  EXPECT_FALSE(m_.Login(1, "low", "p")) << "log out first";
  EXPECT_TRUE(m_.Login(2, "low", "p"));
  EXPECT_EQ(m_.GetAccount(2)->GetLevel(), 0);
  EXPECT_EQ(m_.GetAccountNum(), 2u);
  EXPECT_TRUE(m_.Logout(1) && m_.Logout(1)) << "a link not logged in logs out quietly";
  EXPECT_FALSE(m_.Logout(9));
  SetConfigValue("check_login", 0);
  m_.OnConnect(3);
  EXPECT_TRUE(m_.Login(3, "anyone", "whatever"));
  EXPECT_EQ(m_.GetAccount(3)->GetLevel(), 1);
  SetConfigValue("check_login", 1);
  // A record named by SetLogin after another link's account: when its own link goes down, the
  // other link keeps the name.
  m_.SetLogin(1, "low", 4);
  EXPECT_FALSE(m_.OnDisconnect(1));
  EXPECT_EQ(m_.FindAccount("low"), m_.GetAccount(2));
  EXPECT_EQ(m_.GetAccount(1), nullptr);
}

// Wrong passwords, missing or broken files, unknown links and names that could leave the
// account folder are refused and change nothing.
TEST_F(AccountTest, RefusalsChangeNothing) {
  home_.write("db/x/evil.ini", "password = p\ncmd = 20\n");
  home_.write("db/accounts/.hidden.ini", "password = p\ncmd = 20\n");
  for (const char* name :
       {"nobody", "broken", "../x/evil", "..", ".hidden", "a/b", "a\\b", "a b", "", "x\ny"})
    EXPECT_FALSE(m_.Login(1, name, "p")) << name;
  EXPECT_FALSE(m_.Login(1, "gm", "S3cret") || m_.Login(1, "gm", "s3cre") ||
               m_.Login(9, "gm", "s3cret"));
  EXPECT_FALSE(m_.GetAccount(1)->IsLogin());
  EXPECT_EQ(m_.GetAccountNum(), 0u);
  EXPECT_TRUE(IsSafeAccountName("o'neil") && IsSafeAccountName("玩家"));
  EXPECT_FALSE(IsSafeAccountName(std::string(65, 'a').c_str()));
  EXPECT_TRUE(PasswordsEqual("", "") && !PasswordsEqual("", "a"));
  EXPECT_EQ(MaskPassword("secret") + MaskPassword("a-very-long-password"), "**************");
}

}  // namespace
