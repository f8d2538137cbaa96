#include "tessel/core/audit_trail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "tessel/core/audit_verify.h"
#include "testkit/audit_files.h"
#include "testkit/file_size_limit.h"
#include "testkit/stdout_capture.h"
#include "testkit/wait.h"

namespace {

using testkit::cAuditFolder;

constexpr int64_t kDayUs = 86400LL * 1000000;
using namespace std::chrono_literals;

stAuditEvent Event(std::string_view text, int64_t timeUs) {
  stAuditEvent event;
  event.timeUs = timeUs;
  event.source = eAuditSource::Peer;
  event.origin = "ops@game";
  event.peer = "127.0.0.1";
  event.group = "cCmd_Tessel";
  event.durationUs = 42;
  event.outputBytes = 7;
  event.text = text;
  return event;
}

using testkit::WaitUntil;

TEST(AuditTrail, ALineCarriesItsFieldsWithLoginsMaskedControlsEscapedAndLongTextsCapped) {
  cAuditFolder at;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Record(Event("Login('ops','secret99')", at.nowUs));
  const std::string tab = "Ver()\t\nX";
  at.trail.Record(Event(tab, at.nowUs));
  const std::string longText = "Echo('" + std::string(1000, 'x') + "')";
  at.trail.Record(Event(longText, at.nowUs));
  at.trail.Close();
  const auto lines = at.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(AuditField(lines[0], "prior"), "first");
  EXPECT_EQ(AuditField(lines[1], "time"), "2026-12-07T00:00:00.000000Z");
  EXPECT_EQ(AuditField(lines[1], "us"), "42");
  EXPECT_EQ(AuditField(lines[1], "out"), "7");
  EXPECT_EQ(lines[1].find("secret99"), std::string::npos) << lines[1];
  EXPECT_EQ(AuditField(lines[2], "text"), "Ver()\\x09\\x0AX");
  EXPECT_EQ(AuditField(lines[3], "len"), std::to_string(longText.size()));
  EXPECT_LT(AuditField(lines[3], "text").size(), 300u);
  EXPECT_EQ(AuditField(lines[4], "kind"), "close");
}

// A key others could read is closed to them and the console says what that means; a file that
// holds no key leaves the process without a trail, and the console says so.
TEST(AuditTrail, AKeyOpenToOthersIsClosedLoudlyAndAMalformedKeyOpensNoTrailLoudly) {
  cAuditFolder folder;
  testkit::cFileSizeLimit full(10);  // a key not written whole is not left behind
  EXPECT_FALSE(folder.trail.Open(folder.Options()));
  full.Lift();
  EXPECT_FALSE(std::filesystem::exists(folder.KeyFile()));
  const pid_t child = ::fork();  // nor one whose maker was killed while writing it
  if (child == 0) {
    testkit::cFileSizeLimit cut(10);
    std::signal(SIGXFSZ, SIG_DFL);
    ::_exit(folder.trail.Open(folder.Options()) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && !std::filesystem::exists(folder.KeyFile())) << status;
  ASSERT_TRUE(folder.trail.Open(folder.Options()));
  folder.trail.Close();
  ASSERT_EQ(::chmod(folder.KeyFile().c_str(), 0644), 0);
  {
    testkit::cStdoutCapture out;
    ASSERT_TRUE(folder.trail.Open(folder.Options()));
    folder.trail.Close();
    EXPECT_NE(out.Text().find("(mode 0644), it is 0600 now"), std::string::npos) << out.Text();
  }
  struct stat st {};
  ASSERT_EQ(::stat(folder.KeyFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  testkit::WriteFile(folder.KeyFile(), "abcd\n");
  testkit::cStdoutCapture out;
  EXPECT_FALSE(folder.trail.Open(folder.Options()));
  EXPECT_NE(out.Text().find("is not 64 hexadecimal digits; no audit trail is written"),
            std::string::npos)
      << out.Text();
}

TEST(AuditTrail, ARestartContinuesTheChainAndANewDayStartsAFileOfItsOwn) {
  cAuditFolder at;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Record(Event("Ver()", at.nowUs));
  at.trail.Close();
  const std::string key = testkit::ReadFile(at.KeyFile());
  at.nowUs += kDayUs;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Record(Event("Ver()", at.nowUs));
  at.trail.Close();

  EXPECT_TRUE(std::filesystem::exists(at.Folder() + "/2026-12-07.audit"));
  EXPECT_TRUE(std::filesystem::exists(at.Folder() + "/2026-12-08.audit"));
  const auto second = testkit::Lines(testkit::ReadFile(at.Folder() + "/2026-12-08.audit"));
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(AuditField(second[0], "seq"), "4");
  EXPECT_EQ(AuditField(second[0], "prior"), "closed");
  // The key is made once, for the owner alone, and kept.
  EXPECT_EQ(testkit::ReadFile(at.KeyFile()), key);
  struct stat st {};
  ASSERT_EQ(::stat(at.KeyFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string raw, error;
  ASSERT_TRUE(LoadAuditKey(at.KeyFile(), &raw, &error)) << error;
  const stAuditVerdict verdict = VerifyAuditTrail(at.Folder(), raw);
  EXPECT_TRUE(verdict.holds) << verdict.reason;
  EXPECT_EQ(verdict.files, 2u);

  // A start killed right after it made a new day's file leaves that file empty: the next start
  // takes up the chain from the day before's last line.
  at.nowUs += kDayUs;
  std::ofstream(at.Folder() + "/2026-12-09.audit").close();
  at.nowUs += kDayUs;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Close();
  const auto fourth = testkit::Lines(testkit::ReadFile(at.Folder() + "/2026-12-10.audit"));
  ASSERT_FALSE(fourth.empty());
  EXPECT_EQ(AuditField(fourth[0], "seq"), "7");
  const stAuditVerdict after = VerifyAuditTrail(at.Folder(), raw);
  EXPECT_TRUE(after.holds) << after.reason;
  EXPECT_EQ(after.files, 4u);
  // A clock set back over midnight writes on in the newest day's file, running and at a start.
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.nowUs -= 3600000000;
  at.trail.Record(Event("Ver()", at.nowUs));
  ASSERT_TRUE(WaitUntil([&] { return at.trail.Queued() == 0; }));
  at.trail.Close();
  ASSERT_TRUE(at.trail.Open(at.Options()));
  // A second writer of the folder meanwhile is refused loudly: its lines would mix into the
  // chain of the first.
  cAuditTrail other;
  cAuditTrail::stOptions options = at.Options();
  options.lockWaitMs = 50;
  testkit::cStdoutCapture out;
  EXPECT_FALSE(other.Open(options));
  EXPECT_NE(out.Text().find("is written by process " + std::to_string(::getpid()) +
                            " already; no audit trail is written"),
            std::string::npos)
      << out.Text();
  at.trail.Close();
  EXPECT_EQ(testkit::ReadFile(at.Folder() + "/2026-12-09.audit"), "");
  const stAuditVerdict back = VerifyAuditTrail(at.Folder(), raw);
  EXPECT_TRUE(back.holds) << back.reason;
}

// A new day's file that is no regular file (a folder, a pipe, a link to a device), or a symbolic
// link to a file outside, loses that day's lines, said on the console; none goes into the day
// before's file or the outside one, nothing waits on the pipe, and a start whose newest file is a
// link into /proc reads no endless tail.
TEST(AuditTrail, ADayWhoseFileCannotBeOpenedWritesNothingIntoTheDayBefore) {
  cAuditFolder at;
  // Nor is a link at the writer's lock file followed: the writer truncates the file it takes.
  testkit::WriteFile(at.dir / "victim", "kept");
  std::filesystem::create_directories(at.Folder());
  std::filesystem::create_symlink(at.dir / "victim", at.Folder() + "/writer.lock");
  ASSERT_TRUE(at.trail.Open(at.Options()));
  EXPECT_EQ(testkit::ReadFile(at.dir / "victim"), "kept");
  const std::string first = at.Folder() + "/2026-12-07.audit";
  at.trail.Record(Event("Ver()", at.nowUs));
  ASSERT_TRUE(WaitUntil([&] { return testkit::Lines(testkit::ReadFile(first)).size() == 2; }));
  std::filesystem::create_directory(at.Folder() + "/2026-12-08.audit");
  ASSERT_EQ(::mkfifo((at.Folder() + "/2026-12-10.audit").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", at.Folder() + "/2026-12-12.audit");
  std::filesystem::create_symlink(at.dir / "victim", at.Folder() + "/2026-12-14.audit");
  testing::internal::CaptureStdout();
  for (int day = 8; day <= 14; ++day) {
    at.nowUs += kDayUs;
    at.trail.Record(Event("Lost()", at.nowUs));
    at.trail.Record(Event("AlsoLost()", at.nowUs));
    EXPECT_TRUE(WaitUntil([&] { return at.trail.Queued() == 0; })) << day;
  }
  at.trail.Close();
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(testkit::CountOf(console, ".audit: it is no regular file; its lines are lost"), 3u)
      << console;
  EXPECT_EQ(testkit::CountOf(console, "14.audit: it is a symbolic link"), 1u) << console;
  EXPECT_EQ(testkit::Lines(testkit::ReadFile(first)).size(), 2u);
  ASSERT_TRUE(at.trail.Open(at.Options()));  // its newest file the link: no line end added there
  at.trail.Close();
  EXPECT_EQ(testkit::ReadFile(at.dir / "victim"), "kept");
  std::filesystem::create_symlink("/proc/self/pagemap", at.Folder() + "/2026-12-15.audit");
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Close();
}

// Nor does a start take up the chain (a forged number) from a file a link there leads to.
TEST(AuditTrail, AStartTakesNoChainFromALinkAtTheNewestDaysName) {
  cAuditFolder at;
  testkit::WriteFile(at.dir / "victim", "seq=900\tkind=close\n");
  std::filesystem::create_directories(at.Folder());
  std::filesystem::create_symlink(at.dir / "victim", at.Folder() + "/2026-12-06.audit");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Close();
  EXPECT_EQ(testkit::CountOf(testing::internal::GetCapturedStdout(), "read 2026-12-06.audit"), 1u);
  EXPECT_EQ(AuditField(testkit::ReadLines(at.Folder() + "/2026-12-07.audit").at(0), "seq"), "1");
  // Nor does a link (to nothing) tell when the trail was written: a cut run stays one.
  std::filesystem::last_write_time(at.dir.write("ERRORLOG.TXT", "an older crash"),
                                   std::filesystem::file_time_type::clock::now() - 24h);
  std::ofstream(at.Folder() + "/2026-12-07.audit", std::ios::app) << "seq=9\tkind=cmd\n";
  std::filesystem::create_symlink(at.dir / "none", at.Folder() + "/zz.audit");
  ASSERT_TRUE(at.trail.Open(at.Options()));
  at.trail.Close();
  EXPECT_EQ(AuditField(testkit::ReadLines(at.Folder() + "/2026-12-07.audit").rbegin()[1], "prior"),
            "cut");
}

// A batch that meets a full disk (here the limit of a file's size) is lost whole: what part of it
// went in is taken back, the console is told, and a check of the trail names the lines missing.
TEST(AuditTrail, ABatchThatCannotBeWrittenIsLostWholeAndSaidSo) {
  cAuditFolder at;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  const std::string file = at.Folder() + "/2026-12-07.audit";
  at.trail.Record(Event("Before()", at.nowUs));
  ASSERT_TRUE(WaitUntil([&] { return testkit::Lines(testkit::ReadFile(file)).size() == 2; }));
  testing::internal::CaptureStdout();
  testkit::cFileSizeLimit full(std::filesystem::file_size(file) + 100);
  for (const char* text : {"Lost1()", "Lost2()", "Lost3()"}) at.trail.Record(Event(text, at.nowUs));
  const bool tried = WaitUntil([&] { return at.trail.Queued() == 0; });
  full.Lift();
  at.trail.Record(Event("After()", at.nowUs));
  at.trail.Close();
  const std::string console = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(tried);
  EXPECT_NE(console.find("cAuditTrail: cannot write 2026-12-07.audit: File too large; its lines "
                         "are lost until it can"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("cAuditTrail: writes to 2026-12-07.audit again"), std::string::npos);
  std::string key, error;
  ASSERT_TRUE(LoadAuditKey(at.KeyFile(), &key, &error)) << error;
  EXPECT_EQ(VerifyAuditTrail(at.Folder(), key).reason,
            "2026-12-07.audit line 3 (seq 6): 3 line(s) removed before it (gap in the sequence "
            "after seq 2)");
}

// A day's file removed while it is written: the lines go on in a new file of its name, the
// console is told, and a check of the trail names the lines removed.
TEST(AuditTrail, AFileRemovedWhileWrittenIsMadeAgainAndTheCheckNamesWhatWentWithIt) {
  cAuditFolder at;
  ASSERT_TRUE(at.trail.Open(at.Options()));
  const std::string file = at.Folder() + "/2026-12-07.audit";
  at.trail.Record(Event("Before()", at.nowUs));
  ASSERT_TRUE(WaitUntil([&] { return testkit::Lines(testkit::ReadFile(file)).size() == 2; }));
  std::filesystem::remove_all(at.Folder());
  testing::internal::CaptureStdout();
  at.trail.Record(Event("After()", at.nowUs));
  at.trail.Close();
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("cAuditTrail: 2026-12-07.audit was removed; its lines go on in a new "
                         "file of that name"),
            std::string::npos)
      << console;
  const auto lines = at.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(AuditField(lines[0], "text"), "After()");
  EXPECT_EQ(VerifyAuditTrail(at.Folder(), "").reason,
            "2026-12-07.audit line 1 (seq 3): 2 line(s) removed before it (gap in the sequence "
            "after seq 0)");
}

// A folder given relative to the working folder stays where the trail was opened when the
// process works elsewhere later; the folders of the trail are made again when removed (lines
// were lost until an operator made them), but a trail whose home was removed makes none again.
TEST(AuditTrail, TheTrailStaysWhereItWasOpenedAndMakesNoRemovedHomeAgain) {
  cAuditFolder at;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(at.dir.path());
  cAuditTrail::stOptions options = at.Options();
  options.folder = "trail/game";
  ASSERT_TRUE(at.trail.Open(options));
  std::filesystem::current_path(before);
  at.nowUs += kDayUs;
  at.trail.Record(Event("NextDay()", at.nowUs));
  const std::string file = at.Folder() + "/game/2026-12-08.audit";
  ASSERT_TRUE(WaitUntil([&] { return at.trail.Queued() == 0; }));
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(before / "trail"));
  std::filesystem::remove_all(at.Folder());
  at.trail.Record(Event("Again()", at.nowUs));
  EXPECT_TRUE(
      WaitUntil([&] { return testkit::ReadFile(file).find("Again()") != std::string::npos; }));

  std::filesystem::remove_all(at.dir.path());
  testing::internal::CaptureStdout();
  at.trail.Record(Event("Gone()", at.nowUs));
  at.trail.Close();
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(std::filesystem::exists(at.dir.path()));
  EXPECT_NE(console.find("cannot write 2026-12-08.audit: No such file or directory"),
            std::string::npos)
      << console;
  EXPECT_EQ(console.find("again"), std::string::npos) << console;
}

// The writer is held inside its clock while it writes the first line: that line and what
// follows wait in the queue, readable as a crash report reads it (a line leaves the queue only
// once it is in the file), and what does not fit is counted.
TEST(AuditTrail, WhileTheWriterIsHeldLinesWaitReadableAndAFullQueueCountsItsDrops) {
  cAuditFolder at;
  std::atomic<bool> hold{false}, held{false};
  const std::thread::id opener = std::this_thread::get_id();
  cAuditTrail::stOptions options = at.Options(3);
  options.clockUs = [&] {
    if (hold && std::this_thread::get_id() != opener) {
      held = true;
      for (int i = 0; i < 4000 && hold; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return at.nowUs.load();
  };
  ASSERT_TRUE(at.trail.Open(options));
  hold = true;
  at.trail.Record(Event("First()", at.nowUs));
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  for (const char* text : {"A()", "B()", "C()", "D()", "E()"})
    at.trail.Record(Event(text, at.nowUs));
  std::string queued;
  const size_t read = at.trail.ReadQueued(
      [](const char* packed, size_t size, void* out) {
        stAuditEvent event;
        if (UnpackAuditEvent({packed, size}, &event))
          static_cast<std::string*>(out)->append(event.text).append("\n");
      },
      &queued);
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(queued, "First()\nA()\nB()\n");
  EXPECT_EQ(at.trail.Dropped(), 3u);
  hold = false;
  at.trail.Close();

  const auto lines = at.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(AuditField(lines[3], "text"), "B()");
  EXPECT_EQ(AuditField(lines[4], "kind"), "dropped");
  EXPECT_EQ(AuditField(lines[4], "count"), "3");
  EXPECT_EQ(AuditField(lines[5], "dropped"), "3");
  EXPECT_TRUE(VerifyAuditTrail(at.Folder(), "").holds);
}

TEST(AuditTrail, ACheckpointLineFollowsEveryPeriod) {
  cAuditFolder at;
  cAuditTrail::stOptions options = at.Options();
  options.checkpointMs = 20;
  ASSERT_TRUE(at.trail.Open(options));
  const bool seen = WaitUntil([&] {
    const auto lines = at.Lines();
    return lines.size() >= 3 && AuditField(lines[2], "kind") == "checkpoint";
  });
  at.trail.Close();
  EXPECT_TRUE(seen);
}

}  // namespace
