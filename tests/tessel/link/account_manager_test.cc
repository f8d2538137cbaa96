#include "tessel/link/account_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tessel/core/config_stores.h"
#include "tessel/core/login_text.h"
#include "tessel/link/ini_file.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
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
  EXPECT_TRUE(m_.Logout(1));
  EXPECT_TRUE(m_.Logout(1)) << "a link not logged in logs out quietly";
  EXPECT_FALSE(m_.Logout(9));
  SetConfigValue("check_login", 0);
  m_.OnConnect(3);
  EXPECT_TRUE(m_.Login(3, "anyone", "whatever"));
  EXPECT_EQ(m_.GetAccount(3)->GetLevel(), 1);
  SetConfigValue("check_login", 1);
  // A record named by SetLogin after another link's account: when its own link goes down, the
  // other link keeps the name.
  m_.SetLogin(1, "low", 4);
  m_.OnDisconnect(1);
  EXPECT_EQ(m_.FindAccount("low"), m_.GetAccount(2));
  EXPECT_EQ(m_.GetAccount(1), nullptr);
}

// Whatever "check_login" says, an empty name is refused, and one a listing would print as a
// terminal control (C1 CSI, a direction override) or that is no UTF-8; however a record was
// renamed or left, no name in the table points at it afterwards.
TEST_F(AccountTest, NoNameOutlivesItsRecordOrItsLogin) {
  SetConfigValue("check_login", 0);
  for (const char* name : {"", "\xC2\x9B\x32J", "a\xE2\x80\xAEz", "\xFF"})
    EXPECT_FALSE(m_.Login(1, name, "x")) << name;
  EXPECT_EQ(m_.FindAccount(""), nullptr);
  ASSERT_TRUE(m_.Login(1, "gm", "any"));
  ASSERT_TRUE(m_.Login(2, "low", "any"));
  m_.SetLogin(1, "renamed", 2);
  m_.SetLogin(2, "low", 3);
  EXPECT_EQ(m_.FindAccount("gm"), nullptr);
  EXPECT_EQ(m_.FindAccount("low"), m_.GetAccount(2)) << "a new level keeps the name";
  m_.OnConnect(3);
  ASSERT_TRUE(m_.Login(3, "gm", "any")) << "the old name is free";
  m_.OnDisconnect(3);
  m_.OnDisconnect(2);
  EXPECT_EQ(m_.GetAccountNum(), 0u);
  SetConfigValue("check_login", 1);
}

// Wrong passwords, missing or broken files, unknown links and names that could leave the
// account folder are refused and change nothing; a file other users may read is named.
TEST_F(AccountTest, RefusalsChangeNothing) {
  home_.write("db/x/evil.ini", "password = p\ncmd = 20\n");
  home_.write("db/accounts/.hidden.ini", "password = p\ncmd = 20\n");
  for (const char* name :
       {"nobody", "broken", "../x/evil", "..", ".hidden", "a/b", "a\\b", "a b", "", "x\ny"})
    EXPECT_FALSE(m_.Login(1, name, "p")) << name;
  home_.write("db/accounts/open.ini", "password = o\n");
  ::chmod("db/accounts/open.ini", 0644);  // others may have read its password: said once, in red
  EXPECT_FALSE(m_.Login(1, "open", "x") || m_.Login(1, "open", "y"));
  const std::string said = "open.ini holds a password and is open to other users (mode 0644)";
  const std::string text = quiet_.Text();
  EXPECT_TRUE(text.find(said) != std::string::npos && text.find(said) == text.rfind(said)) << text;
  EXPECT_FALSE(m_.Login(1, "gm", "S3cret"));
  EXPECT_FALSE(m_.Login(1, "gm", "s3cre"));
  EXPECT_FALSE(m_.Login(9, "gm", "s3cret"));
  EXPECT_FALSE(m_.GetAccount(1)->IsLogin());
  EXPECT_EQ(m_.GetAccountNum(), 0u);
  EXPECT_TRUE(IsSafeAccountName("o'neil"));
  EXPECT_TRUE(IsSafeAccountName("玩家"));
  EXPECT_FALSE(IsSafeAccountName(std::string(65, 'a').c_str()));
  EXPECT_TRUE(PasswordsEqual("", ""));
  EXPECT_FALSE(PasswordsEqual("", "a"));
  EXPECT_EQ(MaskPassword("secret"), "******");
  EXPECT_EQ(MaskPassword("a-very-long-password"), "********");
}

// A line of an account file that is not KEY = VALUE (or a hash cut short) is reported with the
// file, once however often the account tries, and gives nothing ("cmd" was the password below).
TEST_F(AccountTest, AnAccountLineWithoutItsSeparatorIsReportedOnceAndGivesNothing) {
  home_.write("db/accounts/ops.ini", "password ops123\ncmd = 16\n");
  testkit::cStdoutCapture out;
  EXPECT_FALSE(m_.Login(1, "ops", "ops123"));
  EXPECT_FALSE(m_.Login(1, "ops", "ops123"));
  EXPECT_FALSE(m_.Login(1, "ops", "cmd"));
  const std::string said = "db/accounts/ops.ini line 1 cannot be read";
  EXPECT_NE(out.Text().find(said), std::string::npos) << out.Text();
  EXPECT_EQ(out.Text().find(said), out.Text().rfind(said)) << out.Text();
  EXPECT_EQ(out.Text().find("ops123"), std::string::npos) << out.Text();
  home_.write("db/accounts/cut.ini", "password = $scrypt$ln=15,r=8,p=1$c2FsdHNhbHQ\n");
  EXPECT_FALSE(m_.Login(1, "cut", "ops123") || m_.Login(1, "cut", "c2FsdHNhbHQ"));
  EXPECT_EQ(testkit::CountOf(out.Text(), "cut.ini: its password begins like a hash but"), 1u);
  // A hash OpenSSL cannot derive (as scrypt without its memory) is said so, once, also in a file
  // said to hold a broken hash before (the operator mended one fault and made another).
  home_.write("db/accounts/cut.ini",
              "password = $scrypt$ln=16,r=1,p=1$c2FsdHNhbHQ$c2FsdHNhbHRzYWx0c2FsdA\n");
  EXPECT_FALSE(m_.Login(1, "cut", "pw") || m_.Login(1, "cut", "pw"));
  EXPECT_EQ(testkit::CountOf(out.Text(), "cut.ini: its password hash could not be checked"), 1u);
}

// Words are read in threes (key, "=", value): a later key wins, a value with a blank is cut and
// its rest becomes the next key, and what cannot be read leaves the output untouched; a key
// asked for but written in other case is reported with its line. What Save writes, Load reads
// back (what it could not is refused, a new file is its owner's), and no other file is left.
TEST(IniFile, LoadReadsWordsInThreesAndSaveWritesWhatLoadReadsBack) {
  testkit::cTempDir home{testkit::cTempDir::kHome};
  home.write("a.ini",
             "\xEF\xBB\xBF"  // an editor's byte-order mark
             "cmd = 4\npassword = abc\npassword = xyz\nname = two words = x\nflag = true\n"
             "n = 12x\none = 1\nServerIP = 10.0.0.9\nempty =\nlast =");
  cIniFile ini;
  ASSERT_TRUE(ini.Load("a.ini"));
  {
    testkit::cStdoutCapture said;
    ini.ReportKeysInOtherCase({"serverip", "cmd", "password"});
    EXPECT_TRUE(testkit::InOrder(said.Text(), {"a.ini line 8 cannot be read: ServerIP is no key"}));
    EXPECT_EQ(said.Text().find("cmd"), std::string::npos) << said.Text();
  }
  std::string s, name, words;
  int n = 7;
  bool flag = false;
  EXPECT_TRUE(ini.GetString("password", s));
  EXPECT_EQ(s, "xyz");
  EXPECT_TRUE(ini.GetString("name", name));
  EXPECT_EQ(name, "two");
  EXPECT_FALSE(ini.GetString("empty", s)) << "not the next line's key";
  EXPECT_TRUE(ini.GetString("words", words));
  EXPECT_EQ(words, "x");
  EXPECT_TRUE(ini.GetInt("cmd", n));
  EXPECT_EQ(n, 4);
  EXPECT_TRUE(ini.GetBool("one", flag));
  EXPECT_TRUE(flag);
  s = "keep";
  n = 7;
  flag = false;
  EXPECT_FALSE(ini.GetBool("flag", flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(ini.GetInt("n", n));
  EXPECT_EQ(n, 7);
  EXPECT_FALSE(ini.GetString("missing", s));
  EXPECT_FALSE(ini.GetString("last", s));
  EXPECT_EQ(s, "keep");
  EXPECT_FALSE(ini.Load("none.ini"));
  EXPECT_FALSE(ini.Load(nullptr));

  std::filesystem::remove("a.ini");
  cIniFile out;
  EXPECT_FALSE(out.Save()) << "no path yet";
  out.SetPath("out.ini");
  for (const char* bad : {"x\nallow = @all", "two words", "k\r", ""})  // would plant keys
    EXPECT_FALSE(out.SetString("password", bad) || out.SetString(bad, "v")) << bad;
  EXPECT_TRUE(out.SetString("password", "p'w\\d"));
  out.SetInt("cmd", -3);
  const mode_t umask = ::umask(022);
  ASSERT_TRUE(out.Save());
  ::umask(umask);
  cIniFile back;
  ASSERT_TRUE(back.Load("out.ini"));
  EXPECT_EQ(back.Entries(), out.Entries());
  auto owner = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
  EXPECT_EQ(std::filesystem::status("out.ini").permissions(), owner) << "a new one's password";
  std::filesystem::permissions("out.ini", owner |= std::filesystem::perms::group_read);
  ASSERT_TRUE(out.Save());
  EXPECT_EQ(std::filesystem::status("out.ini").permissions(), owner) << "as its owner left it";
  cIniFile marked, markedBack;  // a first key that begins like the mark
  marked.SetPath("out.ini"), marked.SetString("\xEF\xBB\xBFk", "v");
  ASSERT_TRUE(marked.Save() && markedBack.Load("out.ini"));
  EXPECT_EQ(markedBack.Entries(), marked.Entries());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);
}

}  // namespace
