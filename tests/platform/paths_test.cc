#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "testkit/scoped_env.h"
#include "testkit/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(PathsTest, ExecutableIsThisTestProgram) {
  EXPECT_TRUE(fs::equivalent(platform::ExecutablePath(), "/proc/self/exe"));
  EXPECT_EQ(platform::ExecutableFolder() + "/" + platform::ExecutableFile(),
            platform::ExecutablePath());
}

TEST(PathsTest, HomeIsTesselHomeWhenSetElseTheExecutableFolder) {
  testkit::cTempDir dir;
  const std::string home = dir.file("nested/home");
  const fs::path cwd = fs::current_path();
  ScopedEnv env("TESSEL_HOME", "");
  EXPECT_EQ(platform::HomeFolder(), platform::ExecutableFolder());
  env.Set(home.c_str());
  EXPECT_EQ(platform::HomeFolder(), home);
  EXPECT_TRUE(platform::EnterHome());
  EXPECT_EQ(fs::current_path(), fs::canonical(home));
  fs::current_path(cwd);
}

}  // namespace
