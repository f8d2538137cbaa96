#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include "testkit/scratch_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
constexpr long kDay = 86400;

// A file whose last write lies `seconds` in the past.
void MakeFileAged(const std::string& path, long seconds) {
  std::ofstream(path) << "x";
  timeval times[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

TEST(Folders, NestedFoldersAreCreatedAndALastPartWithADotIsAFileUnlessTheSlashSaysFolder) {
  struct Case {
    const char* path;  // given to CreateNestedFolders, below the scratch folder
    bool result;
    const char* folder;   // must be a folder afterwards
    const char* missing;  // must not exist afterwards
  };
  const Case cases[] = {
      {"\\log\\server_3\\link_msg", true, "/log/server_3/link_msg", ""},
      {"/a/b/c/", true, "/a/b/c", ""},
      {"/a/b/c", true, "/a/b/c", ""},  // existing folders are fine
      {"/x/y/2026_01_01-00.00.00.log", true, "/x/y", "/x/y/2026_01_01-00.00.00.log"},
      {"/x/tessel.info/", true, "/x/tessel.info", ""},
      {"/v1.2/logs", true, "/v1.2/logs", ""},  // a dot in an upper folder does not count
      {"/blocker/inner/deeper/", false, "", "/blocker/inner"},  // a file is in the way
  };
  testing_support::scratch_dir dir;
  const std::string root = dir.path().string();
  std::ofstream(root + "/blocker") << "x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(CreateNestedFolders(root + c.path), c.result);
    EXPECT_TRUE(!*c.folder || fs::is_directory(root + c.folder));
    EXPECT_TRUE(!*c.missing || !fs::exists(root + c.missing));
  }
}

TEST(Folders, CleanUpDeletesFilesOlderThanTheKeepTimeInWholeDays) {
  testing_support::scratch_dir dir;
  const std::string root = dir.path().string();
  const std::pair<const char*, long> old_files[] = {{"/four_days.log", 4 * kDay + 60},
                                                    {"/ten_days.log", 10 * kDay}};
  const std::pair<const char*, long> kept_files[] = {
      {"/three_days.log", 3 * kDay + 3600}, {"/almost_four.log", 4 * kDay - 3600}, {"/new.log", 0}};
  for (const auto& [name, age] : old_files) MakeFileAged(root + name, age);
  for (const auto& [name, age] : kept_files) MakeFileAged(root + name, age);
  fs::create_directory(root + "/old_folder");
  MakeFileAged(root + "/old_folder/inside.log", 30 * kDay);

  EXPECT_EQ(DeleteOldFiles(root, 3), 2);
  for (const auto& [name, age] : old_files) EXPECT_FALSE(fs::exists(root + name)) << name;
  for (const auto& [name, age] : kept_files) EXPECT_TRUE(fs::exists(root + name)) << name;
  EXPECT_TRUE(fs::exists(root + "/old_folder/inside.log")) << "sub-folders are left alone";
}

TEST(Folders, KeepTimeZeroDeletesFilesOfAWholeDayOrMoreAndFollowsNoLinks) {
  testing_support::scratch_dir dir;
  const std::string root = dir.path().string();
  fs::create_directory(root + "/logs");
  fs::create_directory(root + "/elsewhere");
  MakeFileAged(root + "/logs/yesterday.log", kDay + 60);
  MakeFileAged(root + "/logs/today.log", kDay - 3600);
  MakeFileAged(root + "/elsewhere/target.log", 5 * kDay);
  fs::create_symlink(root + "/elsewhere/target.log", root + "/logs/link.log");
  timeval old[2] = {{std::time(nullptr) - 5 * kDay, 0}, {std::time(nullptr) - 5 * kDay, 0}};
  ASSERT_EQ(::lutimes((root + "/logs/link.log").c_str(), old), 0);

  EXPECT_EQ(DeleteOldFiles(root + "\\logs", 0), 2);
  EXPECT_FALSE(fs::exists(root + "/logs/yesterday.log"));
  EXPECT_TRUE(fs::exists(root + "/logs/today.log"));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(root + "/logs/link.log")));
  EXPECT_TRUE(fs::exists(root + "/elsewhere/target.log")) << "a link's target is never deleted";
  EXPECT_EQ(DeleteOldFiles(root + "/missing", 0), 0);
}

}  // namespace
}  // namespace platform
