#include "tessel/console/groups/cmd_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cmd_group_util.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/loglib.h"

namespace {

namespace fs = std::filesystem;

class LogGroup : public ::testing::Test {
 protected:
  void SetUp() override { GroupTestHost(); }
  fs::path LogFolder() const {
    return m_dir.path() / "log" / cTesselValues::Instance().GetExeName();
  }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

TEST_F(LogGroup, AppendersAreAnnouncedOnStandardOutputAndReceiveTheMatchingLoggers) {
  CheckGroupCases(cCmdLog::Instance(),
                  {{"add_appender_file('grouplog.file*','grouplog_file.log')", true,
                    "append file grouplog.file* grouplog_file.log\n"},
                   {"add_appender_folder('grouplog.folder','grouplog_folder')", true,
                    "append folder grouplog.folder grouplog_folder\n"},
                   {"add_appender_cout('grouplog.cout')", true, "append cout grouplog.cout\n"},
                   {"flush_log_cache()", true, ""}});
  tessel_write(loglib::logger("grouplog.file.one"), "to the file");
  tessel_write(loglib::logger("grouplog.folder"), "to the folder");
  tessel_write(loglib::logger("grouplog.other"), "to nobody");
  loglib::flush_all();
  EXPECT_NE(testkit::ReadFile(LogFolder() / "grouplog_file.log").find("to the file"),
            std::string::npos);

  // The folder holds one file named after the time it was added.
  int files = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(LogFolder() / "grouplog_folder", ec)) {
    ++files;
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.size(), std::string("2026_12_06-12.00.00.log").size()) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".log") << name;
    EXPECT_NE(testkit::ReadFile(entry.path()).find("to the folder"), std::string::npos);
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
