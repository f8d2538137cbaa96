#include "loglib/manager.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace loglib {
namespace {

// An appender that collects lines (possibly from several threads).
struct collector {
  std::mutex mutex;
  std::vector<std::string> lines;
  appender get() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
};

modifier add_suffix(const std::string& s) {
  return [s](record& r) { r.text += s; };
}

// A throwing appender (here between two others) is reported and costs only its own copy.
TEST(Manager, ModifiersAndAppendersRunInAscendingIndexThenInOrderAdded) {
  manager m;
  flush_log_cache(m);
  std::vector<std::string> seen;
  auto tagged = [&](const std::string& tag) {
    return [&seen, tag](const std::string& line) { seen.push_back(tag + ":" + line); };
  };
  add_modifier(m, "*", add_suffix("C"), 300);
  add_modifier(m, "*", add_suffix("A"), 100);
  add_modifier(m, "*", add_suffix("B"), 100);
  add_appender(m, "*", tagged("third"), 7);
  add_appender(m, "*", tagged("first"), 5);
  add_appender(m, "*", tagged("second"), 5);
  add_appender(
      m, "*", [](const std::string&) { throw std::runtime_error("disk gone"); }, 6);

  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(write_msg(m, logger(m, "n"), "x", 1000));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("disk gone"), std::string::npos);
  EXPECT_EQ(seen, std::vector<std::string>({"first:xABC", "second:xABC", "third:xABC"}));
}

TEST(Manager, AppendersReachOnlyTheLoggersTheirPatternMatches) {
  manager m;
  flush_log_cache(m);
  collector info, all_tessel, errs;
  add_appender(m, "tessel.info", info.get(), 100);
  add_appender(m, "tessel*", all_tessel.get(), 100);
  add_appender(m, "*.err", errs.get(), 100);
  add_modifier(m, "tessel.err", add_suffix("!"), 100);

  write_msg(m, logger(m, "tessel.info"), "i", 1000);
  write_msg(m, logger(m, "tessel.err"), "e", 1000);
  write_msg(m, logger(m, "script.err"), "s", 1000);

  EXPECT_EQ(info.lines, std::vector<std::string>({"i"}));
  EXPECT_EQ(all_tessel.lines, std::vector<std::string>({"i", "e!"}));
  EXPECT_EQ(errs.lines, std::vector<std::string>({"e!", "s"}));
}

// Loggers of one name share their state; rules added after a logger's first use still reach it.
TEST(Manager, ALoggerDisabledUnderOneNameIsDisabledForEveryCopyAndLateRulesReachIt) {
  manager m;
  flush_log_cache(m);
  logger l(m, "late");
  write_msg(m, l, "before any rule", 1000);
  collector c;
  add_appender(m, "la*", c.get(), 1);
  logger(m, "late").set_enabled(false);
  EXPECT_FALSE(l(1000));
  write_msg(m, l, "dropped", 1000);
  l.set_enabled(true);
  write_msg(m, logger(m, "late"), "kept", 1000);
  EXPECT_EQ(c.lines, std::vector<std::string>({"kept"}));
}

TEST(Manager, TheStartUpCacheHoldsMessagesUntilFlushedThenUsesTheRulesOfThen) {
  manager m;
  ASSERT_TRUE(m.caching());
  logger l(m, "boot");
  std::thread t([&] { write_msg(m, l, "from another thread", 1000); });
  t.join();
  write_msg(m, l, "second", 1000);

  collector c;
  std::vector<long> threads;
  add_modifier(
      m, "*", [&](record& r) { threads.push_back(r.thread); }, 1);
  add_appender(m, "boot", c.get(), 1);
  EXPECT_TRUE(c.lines.empty());

  flush_log_cache(m);
  EXPECT_FALSE(m.caching());
  EXPECT_EQ(c.lines, std::vector<std::string>({"from another thread", "second"}));
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_NE(threads[0], threads[1]) << "a cached message keeps the id of the thread that wrote it";

  write_msg(m, l, "direct", 1000);
  flush_log_cache(m);
  EXPECT_EQ(c.lines.size(), 3u) << "a second flush must not repeat cached messages";
}

TEST(Manager, TheStartUpCacheIsBoundedAndLaterMessagesStillFlow) {
  manager m;
  logger l(m, "flood");
  for (size_t i = 0; i < manager::kCacheLimit + 10; ++i) write_msg(m, l, "x", 1000);
  size_t count = 0;
  add_appender(
      m, "*", [&](const std::string&) { ++count; }, 1);
  testing::internal::CaptureStderr();
  flush_log_cache(m);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count, manager::kCacheLimit);
  EXPECT_NE(err.find("10 start-up messages dropped"), std::string::npos) << err;
  write_msg(m, l, "x", 1000);
  EXPECT_EQ(count, manager::kCacheLimit + 1);
}

TEST(Manager, MessagesWrittenWhileTheCacheIsDrainedComeAfterTheCachedOnes) {
  manager m;
  logger l(m, "order");
  for (int i = 0; i < 2000; ++i) write_msg(m, l, "cached", 1000);
  collector c;
  add_appender(m, "*", c.get(), 1);
  std::atomic<bool> go{false};
  std::thread writer([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) write_msg(m, l, "direct", 1000);
  });
  go = true;
  flush_log_cache(m);
  writer.join();
  std::lock_guard lock(c.mutex);
  ASSERT_GE(c.lines.size(), 2200u);
  size_t last_cached = 0, first_direct = c.lines.size();
  for (size_t i = 0; i < c.lines.size(); ++i) {
    if (c.lines[i] == "cached") last_cached = i;
    if (c.lines[i] == "direct" && i < first_direct) first_direct = i;
  }
  EXPECT_LT(last_cached, first_direct);
}

}  // namespace
}  // namespace loglib
