#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/folders.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "testkit/file_text.h"
#include "testkit/scoped_env.h"
#include "testkit/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
constexpr long kDay = 86400;

TEST(Clock, MillisecondsWrapAt32BitsAndTimeGetTimeFollowsTheMonotonicClock) {
  const uint64_t wrap_ns = (uint64_t{1} << 32) * 1000000u;
  EXPECT_EQ(MillisecondsOf(wrap_ns - 1000000u), 0xFFFFFFFFu);
  EXPECT_EQ(MillisecondsOf(wrap_ns + 5999999u), 5u);
  EXPECT_EQ(ElapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint32_t before = MillisecondsOf(uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec));
  EXPECT_LT(ElapsedMs(before, TimeGetTime()), 0x80000000u) << "not behind the monotonic clock";
}

TEST(LocalTime, FormatsGiveZeroPaddedFieldsAndLongResultsAreNotCutShort) {
  std::tm tm{};
  ASSERT_NE(::strptime("2026-03-07 09:05:02", "%Y-%m-%d %H:%M:%S", &tm), nullptr);
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  EXPECT_EQ(FormatLocalTime(kFileTimeFormat, t), "2026_03_07-09.05.02");
  EXPECT_EQ(FormatLocalTime(kLineTimeFormat, t), "03_07 09:05:02 ");
  std::string format(300, 'x');
  EXPECT_EQ(FormatLocalTime(format.append("%Y").c_str(), t).substr(300), "2026");
  EXPECT_EQ(FormatLocalTime("", 0), "");
}

// Attributes map to ANSI colours; a section returns to light cyan; TESSEL_COLOR=0 writes no
// sequence but keeps the attribute (foreground nibble only).
TEST(ConsoleColor, AttributesMapToAnsiAndASectionReturnsToLightCyan) {
  const std::pair<int, const char*> cases[] = {{12, "\x1b[0;91;49m"},
                                               {0x1E, "\x1b[0;93;44m"},
                                               {0xC2, "\x1b[0;32;101m"},
                                               {0, "\x1b[0;30;49m"}};
  for (const auto& [attribute, sequence] : cases) EXPECT_EQ(AnsiSequence(attribute), sequence);
  ScopedEnv color("TESSEL_COLOR", "1");
  testing::internal::CaptureStdout();
  { ColorSection red(kColorLightRed), inner(kColorLightRed); }
  std::cout << "error";
  color.Set("0");
  SetColor(0x5E);
  EXPECT_EQ(CurrentAttribute(), 0x0E);
  SetColor(kColorLightCyan);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            AnsiSequence(12) + AnsiSequence(12) + AnsiSequence(11) + AnsiSequence(11) + "error");
}

TEST(Paths, ExecutableIsThisProgramAndHomeIsTesselHomeElseTheExecutableFolder) {
  EXPECT_TRUE(fs::equivalent(ExecutablePath(), "/proc/self/exe"));
  EXPECT_EQ(ExecutableFolder() + "/" + ExecutableFile(), ExecutablePath());
  testkit::cTempDir dir;
  const std::string home = dir.file("nested/home");
  ScopedEnv env("TESSEL_HOME", "");
  EXPECT_EQ(HomeFolder(), ExecutableFolder());
  env.Set(home.c_str());
  EXPECT_EQ(HomeFolder(), home);
  dir.enter();  // given back at the end
  EXPECT_TRUE(EnterHome());
  EXPECT_EQ(fs::current_path(), fs::canonical(home));
}

TEST(Folders, NestedFoldersAreCreatedAndALastPartWithADotIsAFileUnlessTheSlashSaysFolder) {
  const struct {
    const char* path;
    bool result;
    const char* folder;   // must be a folder afterwards
    const char* missing;  // must not exist afterwards
  } cases[] = {
      {"\\log\\server_3\\link_msg", true, "/log/server_3/link_msg", ""},
      {"/a/b/c/", true, "/a/b/c", ""},
      {"/a/b/c", true, "/a/b/c", ""},
      {"/x/y/2026_01_01-00.00.00.log", true, "/x/y", "/x/y/2026_01_01-00.00.00.log"},
      {"/x/tessel.info/", true, "/x/tessel.info", ""},
      {"/v1.2/logs", true, "/v1.2/logs", ""},
      {"/blocker/inner/deeper/", false, "", "/blocker/inner"},
  };
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  dir.write("blocker", "x");
  for (const auto& c : cases) {
    EXPECT_EQ(CreateNestedFolders(root + c.path), c.result) << c.path;
    EXPECT_TRUE(!*c.folder || fs::is_directory(root + c.folder)) << c.path;
    EXPECT_TRUE(!*c.missing || !fs::exists(root + c.missing)) << c.path;
  }
}

// Files older than the keep time in whole days go; sub-folders and link targets stay.
TEST(Folders, CleanUpDeletesFilesOlderThanTheKeepTimeInWholeDaysAndFollowsNoLinks) {
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  auto aged = [](const std::string& path, long seconds, bool link = false) {
    timeval t[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    EXPECT_EQ(link ? ::lutimes(path.c_str(), t) : ::utimes(path.c_str(), t), 0) << path;
  };
  const std::pair<const char*, long> files[] = {{"four_days.log", 4 * kDay + 60},
                                                {"ten_days.log", 10 * kDay},
                                                {"three_days.log", 3 * kDay + 3600},
                                                {"almost_four.log", 4 * kDay - 3600},
                                                {"new.log", 0}};
  for (const auto& [name, age] : files) aged(dir.write(name, "x"), age);
  aged(dir.write("old_folder/inside.log", ""), 30 * kDay);
  aged(dir.write("elsewhere/target.log", ""), 5 * kDay);
  fs::create_symlink(root + "/elsewhere/target.log", root + "/link.log");
  aged(root + "/link.log", 5 * kDay, true);

  EXPECT_EQ(DeleteOldFiles(root, 3), 3);
  for (const auto& [name, age] : files) EXPECT_EQ(fs::exists(dir / name), age < 4 * kDay) << name;
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(root + "/link.log")));
  EXPECT_TRUE(fs::exists(root + "/elsewhere/target.log")) << "a link's target is never deleted";
  EXPECT_TRUE(fs::exists(root + "/old_folder/inside.log")) << "sub-folders are left alone";
  EXPECT_EQ(DeleteOldFiles(root + "\\", 0), 2) << "a whole day or more";
  EXPECT_EQ(DeleteOldFiles(root + "/missing", 0), 0);
}

class RegistryTest : public ::testing::Test {
 protected:
  testkit::cTempDir scratch;
  const std::string dir_ = scratch.path().string();
  ScopedEnv registry_{"TESSEL_REGISTRY", dir_.c_str()};
  ScopedEnv xdg_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnv home_{"HOME", nullptr};
};

TEST_F(RegistryTest, FolderComesFromTesselRegistryThenXdgThenHomeAndUnsafeKeysAreRefused) {
  EXPECT_EQ(RegistryKeyFile("Software\\server_3"), dir_ + "/Software/server_3.ini");
  for (const char* bad : {"", "Software/../x", "Software//x", "Software/", "./x", "/abs"}) {
    EXPECT_EQ(RegistryKeyFile(bad), "") << bad;
    EXPECT_FALSE(RegistryKey().Open(bad)) << bad;
  }
  registry_.Set(nullptr);
  EXPECT_EQ(RegistryDir(), "");
  home_.Set("/x/home");
  EXPECT_EQ(RegistryDir(), "/x/home/.config/tessel/registry");
  xdg_.Set("/x/cfg");
  EXPECT_EQ(RegistryDir(), "/x/cfg/tessel/registry");
}

// The key file keeps "name = value" lines; a failed write (a folder where the file belongs)
// is reported and leaves no partial or temporary file.
TEST_F(RegistryTest, ValuesRoundTripThroughTheKeyFileAndAFailedWriteLeavesNoTemporary) {
  RegistryKey key, other, blocked;
  ASSERT_TRUE(key.Open("Software\\server"));
  ASSERT_TRUE(key.Set({{"exe", "server"}, {"ip", "10.0.0.7"}}));
  ASSERT_TRUE(key.Set("crash", "line one\nline two = \\ end"));
  ASSERT_TRUE(key.Set("ip", "61.1.1.1"));
  ASSERT_TRUE(other.Open("Software/server"));
  EXPECT_EQ(other.Get("missing"), std::nullopt);
  EXPECT_EQ(other.GetAll(),
            (RegistryValues{
                {"exe", "server"}, {"ip", "61.1.1.1"}, {"crash", "line one\nline two = \\ end"}}));
  EXPECT_EQ(testkit::ReadLines(dir_ + "/Software/server.ini").at(0), "exe = server");
  ASSERT_TRUE(blocked.Open("Software/blocked"));
  fs::create_directories(dir_ + "/Software/blocked.ini");
  EXPECT_FALSE(blocked.Set("exe", "server"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/Software"), fs::directory_iterator()), 2);
}

TEST_F(RegistryTest, ConcurrentWritersToOneKeyLoseNoValue) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      RegistryKey key;
      for (int i = 0; key.Open("Software/server") && i < 25; ++i)
        key.Set("t" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server"));
  EXPECT_EQ(key.GetAll().size(), 100u);
}

}  // namespace
}  // namespace platform
