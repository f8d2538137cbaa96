#include "tessel/core/log_routing.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "tessel/core/loggers.h"
#include "testkit/scratch_dir.h"
#include "testkit/test_host.h"
#include "testkit/text_shape.h"

namespace {

namespace fs = std::filesystem;
using testing_support::contains_shape;
using testing_support::fits;
using testing_support::kTimeFileShape;
using testing_support::read_file;
using testing_support::scratch_dir;

const std::string kStamp(testing_support::kStampShape);

// The log folder of these tests: <scratch>/log/server_3/<name>.
class LogRoutingTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TESSEL_COLOR", "0", 1);
    root_ = dir_.path().string() + "/log/server_3/";
    host_.logRoot = root_;
    SetupLogPrefixes();
  }
  void TearDown() override { ::unsetenv("TESSEL_COLOR"); }

  // The only file in a log folder.
  std::string OnlyFileIn(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(root_ + folder)) files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u) << folder;
    return files.empty() ? std::string() : files[0].string();
  }

  scratch_dir dir_;
  std::string root_;
  cTestHost host_;
};

TEST_F(LogRoutingTest, LogFilesLieUnderTheExecutablesNameWithSlashes) {
  host_.logRoot.reset();
  EXPECT_EQ(LogFilePath("tessel.info"), "log/core_tests/tessel.info");
  host_.logRoot = "log\\srv\\";
  EXPECT_EQ(LogFilePath("a.log"), "log/srv/a.log");
}

TEST_F(LogRoutingTest, AFileAppenderWritesTimePrefixedLinesToTheNamedLogFile) {
  testing::internal::CaptureStdout();
  AddAppenderFile("routing.file", "routing.file.log");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "append file routing.file routing.file.log\n");
  TESSEL_LOG(loglib::logger("routing.file"), "value " << 42);
  loglib::flush_all();
  std::string text = read_file(root_ + "routing.file.log");
  EXPECT_TRUE(fits(text, kStamp + "value 42\n")) << text;
}

TEST_F(LogRoutingTest, AFolderAppenderWritesToAFileNamedAfterTheStartTime) {
  testing::internal::CaptureStdout();
  std::string file = AddAppenderFolder("routing.folder", "routing.folder");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "append folder routing.folder routing.folder\n");
  TESSEL_LOG(loglib::logger("routing.folder"), "in the folder");
  std::string only = OnlyFileIn("routing.folder");
  EXPECT_EQ(only, file);
  EXPECT_TRUE(fits(fs::path(only).filename().string(), kTimeFileShape)) << only;
  EXPECT_TRUE(fits(read_file(only), kStamp + "in the folder\n"));
}

TEST_F(LogRoutingTest, ACoutAppenderEchoesTheLoggersLines) {
  testing::internal::CaptureStdout();
  AddAppenderCout("routing.cout*");
  TESSEL_LOG(loglib::logger("routing.cout.a"), "shown");
  TESSEL_LOG(loglib::logger("routing.other"), "not shown");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fits(out, "append cout routing.cout*\n" + kStamp + "shown\n")) << out;
}

TEST_F(LogRoutingTest, ErrorTesselWritesRedOnTheConsoleAndToTesselErr) {
  // The appender stays for the process, so it owns what it collects; only this thread writes
  // to "tessel.err" in these tests.
  auto lines = std::make_shared<std::vector<std::string>>();
  loglib::add_appender(
      loglib::default_manager(), "tessel.err",
      [lines](const std::string& l) { lines->push_back(l); }, 1);
  ::setenv("TESSEL_COLOR", "1", 1);
  testing::internal::CaptureStdout();
  Error_Tessel("cTest::Fail bad thing");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\x1b[0;91;49mcTest::Fail bad thing\n\x1b[0;96;49m");
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_TRUE(fits((*lines)[0], kStamp + "cTest::Fail bad thing\n")) << (*lines)[0];
}

// The program's routing happens once per process; this test owns it.
TEST_F(LogRoutingTest, ProgramRoutingGivesEachLoggerItsFolderAndInfoAThreadId) {
  testing::internal::CaptureStdout();
  RouteProgramLoggers();
  TESSEL_LOG(tessel_info(), "started");
  TESSEL_LOG(tessel_numerror(), "msg too big");
  TESSEL_LOG(tessel_err(), "an error");
  std::string out = testing::internal::GetCapturedStdout();
  loglib::flush_all();

  for (const char* folder :
       {"tessel.info", "tessel.err", "tessel.numerror", "script.yield", "script.error",
        "script.timererror", "tessel.script", "tessel.fetalerror", "tessel.timererror"})
    EXPECT_TRUE(fs::is_directory(root_ + folder)) << folder;
  EXPECT_NE(out.find("append folder tessel.info tessel.info\nappend cout tessel.info\n"),
            std::string::npos)
      << out;
  const std::string info_line = kStamp + "[+] started\n";
  EXPECT_TRUE(contains_shape(out, info_line)) << out;
  EXPECT_TRUE(fits(read_file(OnlyFileIn("tessel.info")), info_line));
  EXPECT_TRUE(fits(read_file(OnlyFileIn("tessel.numerror")), kStamp + "msg too big\n"));
  EXPECT_NE(read_file(OnlyFileIn("tessel.err")).find("an error\n"), std::string::npos);
}

}  // namespace
