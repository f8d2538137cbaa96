#include "tessel/core/os_wait_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tessel/core/config_stores.h"
#include "testkit/file_text.h"
#include "testkit/group_run_fixture.h"
#include "testkit/temp_dir.h"

namespace {

// A group's state as the console's commands get it (no account: every builtin may run).
class OsWaits : public testkit::cGroupRunTest {
 protected:
  testkit::cTempDir dir_;
};

// Gone, or a zombie that no longer runs, within 20 s.
bool Ended(const std::string& pid) {
  for (int i = 0; i < 200; std::this_thread::sleep_for(std::chrono::milliseconds(100)), ++i) {
    std::string line;
    if (!std::getline(std::ifstream("/proc/" + pid + "/stat"), line)) return true;
    if (line.find(") Z ") != std::string::npos) return true;
  }
  return false;
}

// A line that ends keeps system()'s status; one that waits is killed with its process group at
// the command's time limit, the error names it, and the group's next command runs. io.popen's
// line too; one that ends is read as before.
TEST_F(OsWaits, ShellLinesEndAtTheCommandTimeLimitWithTheJobsTheyStarted) {
  SetConfigValue("lua_time_limit", 1);
  EXPECT_TRUE(Run("assert(os.execute('exit 3') == 768) assert(os.execute() ~= 0)")) << said_;
  const std::string pidFile = dir_ / "pid";
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(Fails("os.execute('sleep 120 & echo $! > " + pidFile + "; wait')"));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  EXPECT_NE(said_.find("os.execute killed its line (sleep 120 &"), std::string::npos) << said_;
  std::string pid;
  EXPECT_TRUE(std::ifstream(pidFile) >> pid && Ended(pid)) << pid;
  EXPECT_TRUE(Fails("io.popen('sleep 120'):read('*a')",
                    "io.popen killed its line (sleep 120): command time"));
  EXPECT_TRUE(
      Run("local f = io.popen('echo hi; exit 3') assert(f:read('*a') == 'hi\\n') "
          "assert(f:close())"))
      << said_;
  // The write end: the line reads what was written when the file is closed, by its close or
  // by the collector's, and is killed there at the time limit.
  const std::string out = dir_ / "out";
  EXPECT_TRUE(Run("local f = io.popen('cat > " + out + "', 'w') f:write('kept') assert(f:close())"))
      << said_;
  EXPECT_EQ(testkit::ReadFile(out), "kept");
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(Fails("local f = io.popen('sleep 120', 'w') f:write('x') error(select(2, f:close()))",
                    "io.popen killed its line (sleep 120): command time limit"));
  EXPECT_TRUE(
      Run("do io.popen('cat > " + out + "; sleep 120', 'w'):write('gc') end collectgarbage()"))
      << said_;
  EXPECT_EQ(testkit::ReadFile(out), "gc");
  EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(20));
  // What is written is kept up to 64 MiB: a write past that fails as a file's write does, and
  // the line does not run on the cut input.
  EXPECT_TRUE(Run("local f = io.popen('cat > " + out +
                  "', 'w') local s = string.rep('x', 2^20) for i = 1, 64 do assert(f:write(s)) "
                  "end local ok, why = f:write(s) assert(not ok and why == 'File too large', why) "
                  " local _, said = f:close() assert(said:find('64 MiB'), said)"))
      << said_;
  EXPECT_EQ(testkit::ReadFile(out), "gc");
}

// A pipe with no writer (opening it would wait for one) is refused by every io function that
// opens a name, a file and /dev/null open as before, and the console's input is never read.
TEST_F(OsWaits, IoRefusesPipesAndNeverReadsTheConsolesInput) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(Fails("local f, why = io.open('" + fifo + "') assert(f == nil) error(why)",
                    fifo + ": a pipe, a socket or a device, not opened"));
  for (const char* call : {"io.lines", "io.input", "io.output"})
    EXPECT_TRUE(
        Fails(std::string(call) + "('" + fifo + "')", "not opened: it could wait for ever"));
  const std::string file = dir_ / "file";
  EXPECT_TRUE(Run("local f = io.open('" + file +
                  "', 'w') f:write('kept') f:close() "
                  "assert(io.open('" +
                  file +
                  "'):read('*a') == 'kept') "
                  "for l in io.lines('" +
                  file +
                  "') do assert(l == 'kept') end "
                  "assert(io.open('/dev/null'):read('*a') == '')"))
      << said_;
  // Standard input as the console's with no line typed yet: a read there would wait.
  int typed[2];
  ASSERT_EQ(::pipe(typed), 0);
  const int saved = ::dup(0);
  ::dup2(typed[0], 0);
  EXPECT_TRUE(Fails("io.read()", "standard input file is closed"));
  EXPECT_TRUE(Fails("io.stdin:read()", "attempt to use a closed file"));
  EXPECT_TRUE(Fails("debug.debug()", "debug.debug refused: it would wait for the console's input"));
  ::dup2(saved, 0);
  for (const int fd : {saved, typed[0], typed[1]}) ::close(fd);
}

}  // namespace
