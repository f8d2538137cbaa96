#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include "loglib/scratch_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing_support::scratch_dir;

// A file whose last write lies `seconds` in the past.
void MakeFileAged(const std::string& path, long seconds) {
  std::ofstream(path) << "x";
  timeval times[2];
  times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - seconds;
  times[0].tv_usec = times[1].tv_usec = 0;
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

constexpr long kDay = 86400;

TEST(Folders, NestedFoldersAreCreatedFromBackslashOrSlashPaths) {
  scratch_dir dir;
  const std::string root = dir.path().string();
  EXPECT_TRUE(CreateNestedFolders(root + "\\log\\server_3\\link_msg"));
  EXPECT_TRUE(fs::is_directory(root + "/log/server_3/link_msg"));

  EXPECT_TRUE(CreateNestedFolders(root + "/a/b/c/"));
  EXPECT_TRUE(fs::is_directory(root + "/a/b/c"));
  EXPECT_TRUE(CreateNestedFolders(root + "/a/b/c")) << "existing folders are fine";
}

TEST(Folders, ALastPartWithADotIsAFileNameUnlessTheSlashSaysFolder) {
  scratch_dir dir;
  const std::string root = dir.path().string();
  EXPECT_TRUE(CreateNestedFolders(root + "/x/y/2026_01_01-00.00.00.log"));
  EXPECT_TRUE(fs::is_directory(root + "/x/y"));
  EXPECT_FALSE(fs::exists(root + "/x/y/2026_01_01-00.00.00.log"));

  EXPECT_TRUE(CreateNestedFolders(root + "/x/tessel.info/"));
  EXPECT_TRUE(fs::is_directory(root + "/x/tessel.info"));

  EXPECT_TRUE(CreateNestedFolders(root + "/v1.2/logs"))
      << "a dot in an upper folder does not make the last part a file";
  EXPECT_TRUE(fs::is_directory(root + "/v1.2/logs"));
}

TEST(Folders, AFileInTheWayStopsTheWalkWithFailure) {
  scratch_dir dir;
  const std::string root = dir.path().string();
  std::ofstream(root + "/blocker") << "x";
  EXPECT_FALSE(CreateNestedFolders(root + "/blocker/inner/deeper/"));
  EXPECT_FALSE(fs::exists(root + "/blocker/inner"));
}

TEST(Folders, CleanUpDeletesFilesOlderThanTheKeepTimeInWholeDays) {
  scratch_dir dir;
  const std::string root = dir.path().string();
  MakeFileAged(root + "/four_days.log", 4 * kDay + 60);
  MakeFileAged(root + "/ten_days.log", 10 * kDay);
  MakeFileAged(root + "/three_days.log", 3 * kDay + 3600);
  MakeFileAged(root + "/almost_four.log", 4 * kDay - 3600);
  MakeFileAged(root + "/new.log", 0);
  fs::create_directory(root + "/old_folder");
  MakeFileAged(root + "/old_folder/inside.log", 30 * kDay);

  EXPECT_EQ(DeleteOldFiles(root, 3), 2);
  EXPECT_FALSE(fs::exists(root + "/four_days.log"));
  EXPECT_FALSE(fs::exists(root + "/ten_days.log"));
  EXPECT_TRUE(fs::exists(root + "/three_days.log"));
  EXPECT_TRUE(fs::exists(root + "/almost_four.log"));
  EXPECT_TRUE(fs::exists(root + "/new.log"));
  EXPECT_TRUE(fs::exists(root + "/old_folder/inside.log")) << "sub-folders are left alone";
}

TEST(Folders, KeepTimeZeroDeletesFilesOfAWholeDayOrMoreAndFollowsNoLinks) {
  scratch_dir dir;
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
