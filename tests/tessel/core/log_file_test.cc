#include "tessel/core/log_file.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>

#include "testkit/scratch_dir.h"
#include "testkit/text_shape.h"

namespace {

namespace fs = std::filesystem;
using testing_support::contains_shape;
using testing_support::fits;
using testing_support::kTimeFileShape;
using testing_support::read_file;
using testing_support::scratch_dir;

const std::string kStamp(testing_support::kStampShape);

void MakeFileAged(const std::string& path, long seconds) {
  std::ofstream(path) << "old";
  timeval times[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

std::vector<fs::path> FilesIn(const std::string& folder) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
  return out;
}

TEST(cLog, ANamedFileGetsTheHeaderTimeStampedLinesAndTheEndMark) {
  scratch_dir dir;
  const std::string file = dir.file("named.log");
  std::ofstream(file) << "previous content\n";
  {
    cLog log;
    ASSERT_TRUE(log.Open(file.c_str()));
    EXPECT_EQ(log.GetFileName(), file);
    log.WriteLine("first");
    log << "number " << 7 << std::endl;
  }
  std::string text = read_file(file);
  EXPECT_TRUE(fits(text, "create log file at: " + kStamp + "\n\n" + kStamp +
                             "first\nnumber 7\n\nend log file at: " + kStamp))
      << text;
}

TEST(cLog, AClosedLogWritesNothingAndAFailedOpenSaysSo) {
  scratch_dir dir;
  cLog log;
  EXPECT_FALSE(log.Open(dir.file("missing/x.log").c_str()));
  log << "lost";
  log.Close();
  EXPECT_FALSE(fs::exists(dir.file("missing")));

  ASSERT_TRUE(log.Open(dir.file("y.log").c_str()));
  log.Close();
  log << "after close";
  EXPECT_EQ(read_file(dir.file("y.log")).find("after close"), std::string::npos);
}

TEST(cLog, WithEchoTheHeaderStampsAndTextsAlsoReachStandardOutput) {
  scratch_dir dir;
  testing::internal::CaptureStdout();
  {
    cLog log;
    log.SetEcho(true);
    ASSERT_TRUE(log.Open(dir.file("echo.log").c_str()));
    log.WriteLine("seen twice");
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fits(out, "create log file at: " + kStamp + "\n\n" + kStamp + "seen twice\n"))
      << "destruction does not echo the end mark: " << out;
  EXPECT_NE(read_file(dir.file("echo.log")).find("seen twice"), std::string::npos);
}

TEST(cLog, OpeningInAFolderKeepsThreeDayOldFilesAndDeletesOlderOnes) {
  scratch_dir dir;
  const std::string folder = dir.file("log/server_3/link_msg");
  fs::create_directories(folder);
  MakeFileAged(folder + "/four.log", 4 * 86400 + 60);
  MakeFileAged(folder + "/three.log", 3 * 86400 + 60);
  cLog log;
  ASSERT_TRUE(log.Open(folder.c_str(), 3));
  EXPECT_FALSE(fs::exists(folder + "/four.log"));
  EXPECT_TRUE(fs::exists(folder + "/three.log"));
  EXPECT_TRUE(fits(fs::path(log.GetFileName()).filename().string(), kTimeFileShape))
      << log.GetFileName();
  EXPECT_EQ(fs::path(log.GetFileName()).parent_path(), fs::path(folder));
}

TEST(cLog, AFolderGivenWithBackslashesAndADotIsCreatedAsAFolder) {
  scratch_dir dir;
  std::string given = dir.path().string() + "\\log\\srv\\tessel.info";
  cLog log;
  ASSERT_TRUE(log.Open(given.c_str(), 0));
  EXPECT_TRUE(fs::is_directory(dir.file("log/srv/tessel.info")));
  EXPECT_EQ(FilesIn(dir.file("log/srv/tessel.info")).size(), 1u);
}

TEST(cLog, ReopeningInTheSameSecondAppendsInsteadOfOverwriting) {
  scratch_dir dir;
  const std::string folder = dir.file("quick");
  std::string first_file;
  for (int run = 0; run < 2; ++run) {
    cLog log;
    ASSERT_TRUE(log.Open(folder.c_str(), 3));
    log.WriteLine("run " + std::to_string(run));
    if (run == 0) first_file = log.GetFileName();
    // The two opens fall into one second unless the clock ticked in between; then there are
    // simply two files, which keeps both runs as well.
  }
  std::string all;
  for (const auto& f : FilesIn(folder)) all += read_file(f.string());
  EXPECT_NE(all.find("run 0"), std::string::npos);
  EXPECT_NE(all.find("run 1"), std::string::npos);
}

TEST(cMsgLog, AReceivedMessageGivesATextLineAndATypeAndSizeLine) {
  scratch_dir dir;
  std::string file;
  {
    cMsgLog log;
    ASSERT_TRUE(log.Open(dir.file("bridge_msg").c_str(), 3));
    EXPECT_EQ(log.GetFolder(), dir.file("bridge_msg"));
    log.LogMsg("login", 1003, 24);
    file = log.GetLog().GetFileName();
  }
  std::string text = read_file(file);
  EXPECT_TRUE(contains_shape(text, kStamp + "login\n" + kStamp + "recieve msg type 1003 size 24\n"))
      << text;
}

TEST(cMsgLog, AFolderThatCannotBeMadeIsReportedOnStandardOutput) {
  scratch_dir dir;
  std::ofstream(dir.file("blocker")) << "x";
  cMsgLog log;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(log.Open(dir.file("blocker/sub").c_str(), 3));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("can not open log file " + dir.file("blocker/sub") + "/", 0), 0u) << out;
}

}  // namespace
