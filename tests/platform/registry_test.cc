#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "testkit/scoped_env.h"
#include "testkit/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Points the registry at a fresh temporary folder; the environment is restored afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().filename());
    return files;
  }

  testkit::cTempDir scratch;
  const std::string dir_ = scratch.path().string();
  ScopedEnv registry_{"TESSEL_REGISTRY", dir_.c_str()};
  ScopedEnv xdg_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnv home_{"HOME", nullptr};
};

TEST_F(RegistryTest, FolderComesFromTesselRegistryThenXdgThenHome) {
  EXPECT_EQ(platform::RegistryDir(), dir_);
  registry_.Set(nullptr);
  EXPECT_EQ(platform::RegistryDir(), "");
  home_.Set("/x/home");
  EXPECT_EQ(platform::RegistryDir(), "/x/home/.config/tessel/registry");
  xdg_.Set("/x/cfg");
  EXPECT_EQ(platform::RegistryDir(), "/x/cfg/tessel/registry");
}

TEST_F(RegistryTest, KeyMapsToAnIniFileAndUnsafeKeysAreRefused) {
  EXPECT_EQ(platform::RegistryKeyFile("Software\\server_3"), dir_ + "/Software/server_3.ini");
  EXPECT_EQ(platform::RegistryKeyFile("Software/server"), dir_ + "/Software/server.ini");
  for (const char* bad : {"", "Software/../x", "Software//x", "Software/", "./x", "/abs"}) {
    EXPECT_EQ(platform::RegistryKeyFile(bad), "") << bad;
    platform::RegistryKey key;
    EXPECT_FALSE(key.Open(bad)) << bad;
  }
}

TEST_F(RegistryTest, ValuesRoundTripThroughTheKeyFileAndNoTemporaryFileStays) {
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software\\server"));
  ASSERT_TRUE(key.Set({{"exe", "server"}, {"ip", "10.0.0.7"}}));
  ASSERT_TRUE(key.Set("crash", "line one\nline two = \\ end"));
  ASSERT_TRUE(key.Set("ip", "61.1.1.1"));

  platform::RegistryKey other;
  ASSERT_TRUE(other.Open("Software/server"));
  EXPECT_EQ(other.Get("crash"), "line one\nline two = \\ end");
  EXPECT_EQ(other.Get("missing"), std::nullopt);
  const platform::RegistryValues expected = {
      {"exe", "server"}, {"ip", "61.1.1.1"}, {"crash", "line one\nline two = \\ end"}};
  EXPECT_EQ(other.GetAll(), expected);

  // The file keeps the "name = value" line form, one value per line.
  std::ifstream in(dir_ + "/Software/server.ini");
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "exe = server");
  EXPECT_EQ(FilesIn(dir_ + "/Software"), std::vector<fs::path>{"server.ini"});
}

TEST_F(RegistryTest, AFailedWriteIsReportedAndLeavesNoPartialFile) {
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server"));
  // A folder where the key's file belongs cannot be replaced by the rename.
  fs::create_directories(dir_ + "/Software/server.ini");
  EXPECT_FALSE(key.Set("exe", "server"));
  EXPECT_TRUE(fs::is_directory(dir_ + "/Software/server.ini"));
  EXPECT_EQ(FilesIn(dir_ + "/Software"), std::vector<fs::path>{"server.ini"});
}

TEST_F(RegistryTest, ConcurrentWritersToOneKeyLoseNoValue) {
  constexpr int kThreads = 4;
  constexpr int kValues = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      platform::RegistryKey key;
      if (!key.Open("Software/server")) return;
      for (int i = 0; i < kValues; ++i) {
        key.Set("t" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server"));
  EXPECT_EQ(key.GetAll().size(), static_cast<size_t>(kThreads * kValues));
}

}  // namespace
