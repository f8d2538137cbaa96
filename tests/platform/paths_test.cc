#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

TEST(PathsTest, ExecutableIsThisTestProgram) {
  std::string path = platform::ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(platform::ExecutableFile(), fs::path(path).filename().string());
  EXPECT_EQ(platform::ExecutableFolder(), fs::path(path).parent_path().string());
}

TEST(PathsTest, HomeIsTesselHomeWhenSetElseTheExecutableFolder) {
  char tmpl[] = "/tmp/tessel_home_XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string home = std::string(tmpl) + "/nested/home";
  const char* old = ::getenv("TESSEL_HOME");
  std::string saved = old ? old : "";
  fs::path cwd = fs::current_path();

  ::setenv("TESSEL_HOME", "", 1);
  EXPECT_EQ(platform::HomeFolder(), platform::ExecutableFolder());
  ::setenv("TESSEL_HOME", home.c_str(), 1);
  EXPECT_EQ(platform::HomeFolder(), home);
  EXPECT_TRUE(platform::EnterHome());
  EXPECT_EQ(fs::current_path(), fs::canonical(home));

  fs::current_path(cwd);
  if (old) {
    ::setenv("TESSEL_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("TESSEL_HOME");
  }
  fs::remove_all(tmpl);
}

}  // namespace
