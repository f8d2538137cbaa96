#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include "testkit/temp_dir.h"

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
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  std::ofstream(root + "/blocker") << "x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(CreateNestedFolders(root + c.path), c.result);
    EXPECT_TRUE(!*c.folder || fs::is_directory(root + c.folder));
    EXPECT_TRUE(!*c.missing || !fs::exists(root + c.missing));
  }
}

// Files older than the keep time in whole days go (keep time 0: a whole day or more); files in
// sub-folders and the targets of links are never touched.
TEST(Folders, CleanUpDeletesFilesOlderThanTheKeepTimeInWholeDaysAndFollowsNoLinks) {
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  const std::pair<const char*, long> old_files[] = {{"/four_days.log", 4 * kDay + 60},
                                                    {"/ten_days.log", 10 * kDay}};
  const std::pair<const char*, long> kept_files[] = {
      {"/three_days.log", 3 * kDay + 3600}, {"/almost_four.log", 4 * kDay - 3600}, {"/new.log", 0}};
  for (const auto& [name, age] : old_files) MakeFileAged(root + name, age);
  for (const auto& [name, age] : kept_files) MakeFileAged(root + name, age);
  MakeFileAged(dir.write("old_folder/inside.log", ""), 30 * kDay);
  MakeFileAged(dir.write("elsewhere/target.log", ""), 5 * kDay);
  fs::create_symlink(root + "/elsewhere/target.log", root + "/link.log");
  timeval old[2] = {{std::time(nullptr) - 5 * kDay, 0}, {std::time(nullptr) - 5 * kDay, 0}};
  ASSERT_EQ(::lutimes((root + "/link.log").c_str(), old), 0);

  EXPECT_EQ(DeleteOldFiles(root, 3), 3);
  for (const auto& [name, age] : old_files) EXPECT_FALSE(fs::exists(root + name)) << name;
  for (const auto& [name, age] : kept_files) EXPECT_TRUE(fs::exists(root + name)) << name;
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(root + "/link.log")));
  EXPECT_TRUE(fs::exists(root + "/elsewhere/target.log")) << "a link's target is never deleted";
  EXPECT_TRUE(fs::exists(root + "/old_folder/inside.log")) << "sub-folders are left alone";
  EXPECT_EQ(DeleteOldFiles(root + "\\", 0), 2) << "a whole day or more";
  EXPECT_EQ(DeleteOldFiles(root + "/missing", 0), 0);
}

}  // namespace
}  // namespace platform
