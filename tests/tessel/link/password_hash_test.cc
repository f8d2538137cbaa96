#include "tessel/link/password_hash.h"

#include <gtest/gtest.h>

namespace {

// The two documented forms (these values were derived by another tool) and a fresh hash check
// the password they were made from and nothing else; each fresh hash has a salt of its own. A
// value that begins like a hash form but is none matches nothing, not even its own text; any
// other value is the clear password.
TEST(PasswordHash, HashFormsCheckTheirPasswordOnlyAndClearPasswordsStillWork) {
  const std::string pbkdf2 =
      "$pbkdf2-sha256$1000$c2FsdHNhbHQ$E196ZhRPzw+wA84EjzHwJO1cv/MFJdO6C/sxmUeTYqY";
  const std::string scrypt =
      "$scrypt$ln=10,r=8,p=1$TmFDbE5hQ2w$8wGlwXmNXS2n1KDaxmhQaPHcojxLhIixEr3YNcqC+84";
  for (const std::string& stored : {pbkdf2, scrypt, HashPassword("password", 10)}) {
    EXPECT_TRUE(IsPasswordHash(stored)) << stored;
    EXPECT_TRUE(CheckPassword(stored, "password")) << stored;
    EXPECT_FALSE(CheckPassword(stored, "passwore")) << stored;
    EXPECT_FALSE(CheckPassword(stored, "")) << stored;
  }
  EXPECT_NE(HashPassword("password", 10), HashPassword("password", 10));
  for (const int logN : {0, 21, 64, -1}) EXPECT_EQ(HashPassword("password", logN), "") << logN;
  for (const std::string broken :
       {"$scrypt$ln=31,r=8,p=1$TmFDbE5hQ2w$8wGlwXmNXS2n1KDaxmhQaPHcojxLhIixEr3YNcqC+84",
        "$pbkdf2-sha256$0$c2FsdHNhbHQ$E196ZhRPzw+wA84EjzHwJO1cv/MFJdO6C/sxmUeTYqY",
        "$pbkdf2-sha256$1000$c2FsdHNhbHQ$E196ZhRPzw+wA84E", "$scrypt$",
        "$scrypt$ln=20,r=8,p=16$TmFDbE5hQ2w$8wGlwXmNXS2n1KDaxmhQaPHcojxLhIixEr3YNcqC+84",
        "$pbkdf2-sha256$100000000$c2FsdHNhbHQ$E196ZhRPzw+wA84EjzHwJO1cv/MFJdO6C/sxmUeTYqY"}) {
    EXPECT_FALSE(IsPasswordHash(broken)) << broken;
    EXPECT_FALSE(CheckPassword(broken, broken)) << broken;
  }
  EXPECT_TRUE(CheckPassword("pw", "pw"));
  EXPECT_FALSE(CheckPassword("pw", "pw "));
  // OpenSSL refuses N >= 2^(16 r): a check that cannot run is no wrong password.
  EXPECT_EQ(CheckPasswordHow("$scrypt$ln=16,r=1,p=1" + scrypt.substr(21), "password"),
            ePasswordCheck::kCannotCheck);
}

}  // namespace
