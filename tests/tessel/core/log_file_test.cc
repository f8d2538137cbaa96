#include "tessel/core/log_file.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>

#include "testkit/file_text.h"
#include "testkit/temp_dir.h"
#include "testkit/text_shape.h"

namespace {

namespace fs = std::filesystem;
using testing_support::contains_shape;
using testing_support::fits;
using testkit::cTempDir;
using testkit::ReadFile;

const std::string kStamp(testing_support::kStampShape);

// The file gets the header, time-stamped lines and the end mark; with echo the header and the
// lines (not the end mark of a destruction) also reach standard output; a closed log drops text.
TEST(cLog, ANamedFileGetsTheHeaderTimeStampedLinesAndTheEndMark) {
  testkit::cTempDir dir;
  const std::string file = dir.file("named.log");
  std::ofstream(file) << "previous content\n";
  testing::internal::CaptureStdout();
  {
    cLog log;
    log.SetEcho(true);
    ASSERT_TRUE(log.Open(file.c_str()));
    log.WriteLine("first");
    log << "number " << 7 << std::endl;
  }
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string body = "create log file at: " + kStamp + "\n\n" + kStamp + "first\nnumber 7\n";
  EXPECT_TRUE(fits(out, body)) << out;
  EXPECT_TRUE(fits(ReadFile(file), body + "\nend log file at: " + kStamp)) << ReadFile(file);
  cLog closed;
  EXPECT_FALSE(closed.Open(dir.file("missing/x.log").c_str()));
  EXPECT_FALSE(fs::exists(dir.file("missing")));
  ASSERT_TRUE(closed.Open(file.c_str()));
  closed.Close();
  closed << "after close";
  EXPECT_EQ(ReadFile(file).find("after close"), std::string::npos);
}

TEST(cLog, OpeningInAFolderNamesTheFileByTimeAndDeletesFilesOverTheKeepTime) {
  testkit::cTempDir dir;
  const std::string folder = dir.file("log/server_3/link_msg");
  fs::create_directories(folder);
  for (const auto& [name, age] :
       {std::pair{"/four.log", 4 * 86400 + 60}, {"/three.log", 3 * 86400 + 60}}) {
    std::ofstream(folder + name) << "old";
    timeval times[2] = {{std::time(nullptr) - age, 0}, {std::time(nullptr) - age, 0}};
    ASSERT_EQ(::utimes((folder + name).c_str(), times), 0);
  }
  cLog log;
  ASSERT_TRUE(log.Open(folder.c_str(), 3));
  EXPECT_FALSE(fs::exists(folder + "/four.log"));
  EXPECT_TRUE(fs::exists(folder + "/three.log"));
  const fs::path name(log.GetFileName());
  EXPECT_TRUE(fits(name.filename().string(), testing_support::kTimeFileShape)) << name;
  EXPECT_EQ(name.parent_path(), fs::path(folder));
}

TEST(cLog, ReopeningInTheSameSecondAppendsInsteadOfOverwriting) {
  testkit::cTempDir dir;
  const std::string folder = dir.file("quick");
  for (int run = 0; run < 2; ++run) {
    cLog log;
    ASSERT_TRUE(log.Open(folder.c_str(), 3));
    log.WriteLine("run " + std::to_string(run));
  }
  // The two opens fall into one second unless the clock ticked in between; then there are
  // simply two files, which keeps both runs as well.
  std::string all;
  for (const auto& f : fs::directory_iterator(folder)) all += ReadFile(f.path().string());
  EXPECT_NE(all.find("run 0"), std::string::npos);
  EXPECT_NE(all.find("run 1"), std::string::npos);
}

TEST(cMsgLog, AReceivedMessageGivesATextLineAndATypeAndSizeLine) {
  testkit::cTempDir dir;
  std::string file;
  {
    cMsgLog log;
    ASSERT_TRUE(log.Open(dir.file("bridge_msg").c_str(), 3));
    log.LogMsg("login", 1003, 24);
    file = log.GetLog().GetFileName();
  }
  std::string text = ReadFile(file);
  EXPECT_TRUE(contains_shape(text, kStamp + "login\n" + kStamp + "recieve msg type 1003 size 24\n"))
      << text;
}

}  // namespace
