#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "loglib/manager.h"
#include "tessel/contracts/loglib.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"
#include "testkit/text_shape.h"

namespace loglib {
namespace {

using testing_support::fits;
using testing_support::kStampShape;
using testkit::Lines;
using testkit::ReadFile;

TEST(Appenders, AFileGetsEachLineWithTheTimePrefixAndOneLineEnd) {
  testkit::cTempDir dir;
  manager m;
  add_modifier(m, "*", prepend_time("$MM_$dd $hh:$mm:$ss "), 0x7FFFFFFF);
  add_modifier(m, "*", append_enter(), 100);
  flush_log_cache(m);
  add_appender(m, "file.*", write_to_file(dir.file("a.log"), true), 100);
  write_msg(m, logger(m, "file.one"), "first", 1000);
  write_msg(m, logger(m, "file.two"), "second\n", 1000);
  write_msg(m, logger(m, "other"), "not here", 1000);

  std::string text = ReadFile(dir.file("a.log"));
  auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  EXPECT_TRUE(fits(lines[0], std::string(kStampShape) + "first")) << lines[0];
  EXPECT_TRUE(fits(lines[1], std::string(kStampShape) + "second")) << lines[1];
  EXPECT_EQ(text.back(), '\n');
}

TEST(Appenders, AppendKeepsEarlierContentTruncateDropsItAndAnUnopenableFileIsReported) {
  testkit::cTempDir dir;
  std::ofstream(dir.file("keep.log")) << "old\n";
  std::ofstream(dir.file("drop.log")) << "old\n";
  write_to_file(dir.file("keep.log"), true)("new\n");
  write_to_file(dir.file("drop.log"), false)("new\n");
  EXPECT_EQ(ReadFile(dir.file("keep.log")), "old\nnew\n");
  EXPECT_EQ(ReadFile(dir.file("drop.log")), "new\n");

  testing::internal::CaptureStderr();
  appender a = write_to_file(dir.file("keep.log/sub.log"), true);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_NO_THROW(a("line\n"));
}

// Many threads write to one logger that goes to two appenders of one file (sharing it) with a
// thread-id prefix; every line must arrive whole, exactly once per appender.
TEST(Appenders, ManyThreadsWritingAtOnceNeitherTearNorLoseALine) {
  testkit::cTempDir dir;
  manager m;
  flush_log_cache(m);
  const std::string file = dir.file("busy.log");
  add_modifier(m, "*", prepend_thread_id(), 1);
  add_modifier(m, "*", append_enter(), 2);
  add_appender(m, "busy", write_to_file(file, true), 100);
  add_appender(m, "bu*", write_to_file(file, true), 100);
  constexpr int kThreads = 8, kLines = 1500;
  const std::string payload(200, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      logger l(m, "busy");
      for (int i = 0; i < kLines; ++i)
        write_msg(m, l, "t" + std::to_string(t) + " n" + std::to_string(i) + " " + payload, 1000);
    });
  }
  for (auto& th : threads) th.join();
  flush_all();

  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 2u * kThreads * kLines);
  const std::string shape = "[+] t# n+ " + payload;
  std::map<std::string, int> seen;
  for (const auto& line : lines) {
    ASSERT_TRUE(fits(line, shape)) << "torn line: " << line;
    size_t t = line.find(" t") + 2;
    ++seen[line.substr(t, line.rfind(' ') - t)];
  }
  ASSERT_EQ(seen.size(), size_t{kThreads} * kLines);
  for (const auto& [key, count] : seen) ASSERT_EQ(count, 2) << key;
}

}  // namespace
}  // namespace loglib
