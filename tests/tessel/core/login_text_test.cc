#include "tessel/core/login_text.h"

#include <gtest/gtest.h>

namespace {

TEST(LoginText, OnlyOneLoginCallWithLiteralArgumentsIsRecognised) {
  stLoginCall call;
  ASSERT_TRUE(ParseLoginCall("Login('gm',\"pw\")", &call));
  EXPECT_EQ(call.name, "Login");
  EXPECT_EQ(call.args, (std::vector<std::string>{"'gm'", "\"pw\""}));
  EXPECT_TRUE(ParseLoginCall("\tLogined(-1, 2.5, 'game_220');  "));
  EXPECT_TRUE(ParseLoginCall("Logout()"));
  // An escaped quote stays inside the string, exactly as Lua reads it.
  EXPECT_TRUE(ParseLoginCall("Login('a\\'); os.exit() --','b')"));
  for (const char* refused :
       {"Login('a','b') Login('c','d')", "Login('a','b');;", "Login('a',b)", "Login('a'..'b')",
        "Login('a\nb')", "Login('a', 'b') --[[x]]", "Login 'a'", "Loginx('a')", "login('a')",
        "Login(1e5)", "Login(0x10)", "Login('a',)", "Login(", "Login('a'", "", "os.exit()",
        "Login('a\\\n')"})
    EXPECT_FALSE(ParseLoginCall(refused)) << refused;
}

TEST(LoginText, PasswordsAreMaskedWhereverALoginTextIsShown) {
  EXPECT_EQ(MaskCmdText("Login('gm','s3cret')"), "Login('gm','******')");
  EXPECT_EQ(MaskCmdText(" Login( 'gm' , \"a much longer secret\" ) ;"), "Login('gm','********')");
  EXPECT_EQ(MaskCmdText("Logined(1,'game')"), "Logined(1,'game')");
  EXPECT_EQ(MaskCmdText("x() Login('gm','s3cret')"), "x() Login(***)");
  EXPECT_EQ(MaskCmdText("Echo('hi')"), "Echo('hi')");
}

}  // namespace
