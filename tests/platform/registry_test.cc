#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

// Points the registry at a fresh temporary folder and restores the environment afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessel_registry_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    Save("TESSEL_REGISTRY");
    Save("XDG_CONFIG_HOME");
    Save("HOME");
    ::setenv("TESSEL_REGISTRY", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value.second) {
        ::setenv(name.c_str(), value.first.c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    fs::remove_all(dir_);
  }
  void Save(const char* name) {
    const char* v = ::getenv(name);
    saved_.emplace_back(name, std::make_pair(std::string(v ? v : ""), v != nullptr));
  }
  std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().filename());
    return files;
  }

  std::string dir_;
  std::vector<std::pair<std::string, std::pair<std::string, bool>>> saved_;
};

TEST_F(RegistryTest, FolderComesFromTesselRegistryThenXdgThenHome) {
  EXPECT_EQ(platform::RegistryDir(), dir_);
  ::unsetenv("TESSEL_REGISTRY");
  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(platform::RegistryDir(), "/x/cfg/tessel/registry");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/x/home", 1);
  EXPECT_EQ(platform::RegistryDir(), "/x/home/.config/tessel/registry");
  ::unsetenv("HOME");
  EXPECT_EQ(platform::RegistryDir(), "");
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

TEST_F(RegistryTest, ValuesRoundTripThroughTheKeyFile) {
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software\\server"));
  ASSERT_TRUE(key.Set({{"exe", "server"}, {"ip", "10.0.0.7"}}));
  ASSERT_TRUE(key.Set("crash", "line one\nline two = \\ end"));
  ASSERT_TRUE(key.Set("ip", "61.1.1.1"));

  platform::RegistryKey other;
  ASSERT_TRUE(other.Open("Software/server"));
  EXPECT_EQ(other.Get("exe"), "server");
  EXPECT_EQ(other.Get("ip"), "61.1.1.1");
  EXPECT_EQ(other.Get("crash"), "line one\nline two = \\ end");
  EXPECT_EQ(other.Get("missing"), std::nullopt);
  platform::RegistryValues all = other.GetAll();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].first, "exe");
  EXPECT_EQ(all[1].first, "ip");
  EXPECT_EQ(all[2].first, "crash");

  // The file keeps the "name = value" line form, one value per line.
  std::ifstream in(dir_ + "/Software/server.ini");
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "exe = server");
}

TEST_F(RegistryTest, WritesLeaveNoTemporaryFileBehind) {
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server"));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(key.Set("n", std::to_string(i)));
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
