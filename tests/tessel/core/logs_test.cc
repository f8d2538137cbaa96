// Log files, the routing of the process's loggers and traces.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>

#include "tessel/core/log_file.h"
#include "tessel/core/log_routing.h"
#include "tessel/core/loggers.h"
#include "tessel/core/trace.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_size_limit.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/scoped_env.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/test_host.h"
#include "testkit/text_shape.h"

namespace {

namespace fs = std::filesystem;
using testing_support::contains_shape;
using testing_support::fits;
using testkit::ReadFile;
using testkit::ReadFolder;

const std::string kStamp(testing_support::kStampShape);

// Plants a symbolic link to out.txt at a log's name named race.log once it was judged.
void PlantLink(const std::string& file) {
  if (!file.ends_with("race.log")) return;
  fs::remove(file);
  fs::create_symlink(fs::path(file).parent_path() / "out.txt", file);
}

// A named file gets the header, time-stamped lines and the end mark (echo shows all but the
// mark); a log opened in a folder is named by the time, deletes files over the keep time and,
// reopened in the same second, appends (else there are two files, which keeps both runs too); a
// hard-linked file is left as it was.
TEST(cLog, AFileGetsTheHeaderTimeStampedLinesAndTheEndMarkAndKeepsEveryRun) {
  testkit::cTempDir dir;
  const std::string file = dir.write("named.log", "previous content\n");
  testkit::cStdoutCapture out;
  {
    cLog log;
    log.SetEcho(true);
    ASSERT_TRUE(log.Open(file.c_str()));
    log.WriteLine("first");
    log << "number " << 7 << std::endl;
  }
  const std::string body = "create log file at: " + kStamp + "\n\n" + kStamp + "first\nnumber 7\n";
  EXPECT_TRUE(fits(out.Text(), body)) << out.Text();
  EXPECT_TRUE(fits(ReadFile(file), body + "\nend log file at: " + kStamp)) << ReadFile(file);
  cLog closed;
  EXPECT_FALSE(closed.Open((dir / "missing/x.log").c_str()));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  ASSERT_TRUE(closed.Open(file.c_str()));
  closed.Close();
  closed << "after close";
  EXPECT_EQ(ReadFile(file).find("after close"), std::string::npos);
  // A file with other names (one outside the log folder) is neither cut nor written.
  fs::create_hard_link(dir.write("out.txt", "outside\n"), dir / "hard.log");
  ASSERT_TRUE(cLog().Open((dir / "hard.log").c_str()));
  EXPECT_EQ(ReadFile(dir / "out.txt"), "outside\n");
  EXPECT_NE(ReadFile(dir / "hard.log").find("end log file at: "), std::string::npos);
  // Nor one a symbolic link at the name leads to, its line showing the name's control bytes
  // escaped; a pipe is not opened (nobody reads it: nothing waits).
  fs::create_symlink(dir / "out.txt", dir / "soft\n\x1b[2J.log");
  ASSERT_EQ(::mkfifo((dir / "pipe.log").c_str(), 0600), 0);
  EXPECT_TRUE(cLog().Open((dir / "soft\n\x1b[2J.log").c_str()) &&
              !cLog().Open((dir / "pipe.log").c_str()));
  EXPECT_EQ(ReadFile(dir / "out.txt"), "outside\n");
  fs::create_symlink("/dev/null", dir / "null.log");  // a log turned off is followed, not "moved"
  EXPECT_TRUE(cLog().Open((dir / "null.log").c_str()) && !testkit::CountOf(out.Text(), " moved"));
  // Nor one a link swapped in after the name was judged leads to, as the log opens or follows
  // its moved file.
  cLog moved;
  ASSERT_TRUE(moved.Open((dir / "race.log").c_str()));
  fs::rename(dir / "race.log", dir / "race.log.1");
  cLog::SetBeforeOpen(PlantLink);
  moved.WriteLine("moved");
  EXPECT_FALSE(cLog().Open((dir / "race.log").c_str()));
  cLog::SetBeforeOpen(nullptr);
  EXPECT_EQ(ReadFile(dir / "out.txt"), "outside\n");
  EXPECT_TRUE(testkit::InOrder(out.Text(),
                               {"soft\\x0A\\x1B[2J.log is a symbolic link", "pipe.log is a pipe",
                                "race.log was moved; it can not", "race.log is a symbolic link"}))
      << out.Text();
  const std::string folder = dir / "log/server_3/link_msg";
  const std::string old = dir.write("log/server_3/link_msg/four.log", "old");
  const timeval aged = {std::time(nullptr) - 4 * 86400 - 60, 0}, times[2] = {aged, aged};
  ASSERT_EQ(::utimes(old.c_str(), times), 0);
  for (int run = 0; run < 2; ++run) {
    cLog log;
    ASSERT_TRUE(log.Open(folder.c_str(), 3));
    log.WriteLine("run " + std::to_string(run));
    const fs::path name = log.GetFileName();
    EXPECT_TRUE(fits(name.filename().string(), testing_support::kTimeFileShape)) << name;
    EXPECT_EQ(name.parent_path(), folder);
  }
  EXPECT_FALSE(fs::exists(old));
  const std::string all = ReadFolder(folder);
  EXPECT_NE(all.find("run 0"), std::string::npos) << all;
  EXPECT_NE(all.find("run 1"), std::string::npos) << all;
}

// A write that fails (a full disk; here the limit of a file's size) is said once; once the file
// can grow again, the lines after it are written and that is said too. A removed or moved file
// (rotation) is followed to its name, never through a link standing there.
TEST(cLog, AfterAFailedWriteARemovalOrAMoveItSaysSoAndWritesWhereItShould) {
  testkit::cTempDir dir;
  const std::string file = dir / "full.log";
  cLog log;
  ASSERT_TRUE(log.Open(file.c_str()));
  log << std::flush;
  testkit::cFileSizeLimit full(fs::file_size(file) + 10);
  testkit::cStdoutCapture out;
  const auto line = [&log](const char* text) {
    log.WriteLine(text);
    log.flush();
  };
  line("first");
  log.WriteLine("in the buffer");  // not yet in the file: no sign that it can write again
  line("still full");
  full.Lift();
  line("after");
  line("and on");
  const std::string text = ReadFile(file);
  EXPECT_TRUE(contains_shape(text, "\n" + kStamp + "after\n" + kStamp + "and on\n")) << text;
  EXPECT_EQ(out.Text(), "cLog can not write " + file + "; lines may be lost until it can\n" +
                            "cLog writes to " + file + " again\n");
  fs::remove(file);  // to make room: the lines after go into a new file
  line("made again");
  EXPECT_TRUE(contains_shape(ReadFile(file), kStamp + "made again\n")) << ReadFile(file);
  for (const std::string next : {".1", ".2", ".3"}) {
    fs::rename(file, file + next);
    if (next == ".2") dir.write("full.log", "");
    if (next == ".3") fs::create_symlink(dir.write("other", ""), file);
    line((next + "|").c_str());
  }
  EXPECT_TRUE(contains_shape(ReadFile(file + ".2"), kStamp + ".1|\n") && ReadFile(file) == "" &&
              contains_shape(ReadFile(file + ".3"), kStamp + ".2|\n" + kStamp + ".3|\n"));
  EXPECT_NE(
      out.Text().find(" moved and can not be followed: another kind of file stands at its name\n"),
      std::string::npos)
      << out.Text();
  fs::remove(file);  // the link: with no descriptor free, the lines stay in the moved file
  if (testkit::cDescriptorLimit none; none.held) line("held");
  line("free");
  EXPECT_TRUE(contains_shape(ReadFile(file + ".3"), kStamp + "held\n") &&
              contains_shape(ReadFile(file), kStamp + "free\n"));
#ifndef TESSEL_SANITIZED
  cLog late;  // opened with no descriptor free, it opens at a line once they are back
  EXPECT_FALSE((testkit::cDescriptorLimit(), late.Open((dir / "late.log").c_str())));
  late.WriteLine("late");
  late.flush();
  EXPECT_TRUE(contains_shape(ReadFile(dir / "late.log"), kStamp + "late\n"));
#endif
}

// Appenders write time-prefixed lines to a named file, a file named after the start time or
// standard output; the program's routing (once per process: this test owns it) gives
// tessel.info a thread id, and a trace writes the operation's qualified name and line there.
TEST(LogRouting, AppendersAndTheProgramRoutingWriteTimePrefixedLinesWhereTheyShould) {
  testkit::cTempDir dir;
  const std::string root = dir.path().string() + "/log/server_3/";
  cTestHost host;
  ScopedEnv color{"TESSEL_COLOR", "0"};
  host.logRoot = "log\\srv\\";
  EXPECT_EQ(LogFilePath("a.log"), "log/srv/a.log");
  host.logRoot = root;
  SetupLogPrefixes();
  testing::internal::CaptureStdout();
  AddAppenderFile("routing.file", "routing.file.log");
  const std::string file = AddAppenderFolder("routing.folder", "routing.folder");
  AddAppenderCout("routing.cout*");
  TESSEL_LOG(loglib::logger("routing.file"), "value " << 42);
  TESSEL_LOG(loglib::logger("routing.folder"), "in the folder");
  TESSEL_LOG(loglib::logger("routing.cout.a"), "shown");
  TESSEL_LOG(loglib::logger("routing.other"), "not shown");
  loglib::flush_all();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fits(ReadFile(root + "routing.file.log"), kStamp + "value 42\n"));
  EXPECT_EQ(ReadFolder(root + "routing.folder"), ReadFile(file)) << "its only file";
  EXPECT_TRUE(fits(fs::path(file).filename().string(), testing_support::kTimeFileShape)) << file;
  EXPECT_TRUE(fits(ReadFile(file), kStamp + "in the folder\n"));
  EXPECT_TRUE(contains_shape(out, kStamp + "shown\n")) << out;
  EXPECT_EQ(out.find("not shown"), std::string::npos);
  testing::internal::CaptureStdout();
  RouteProgramLoggers();
  TESSEL_LOG(tessel_info(), "started");
  TESSEL_LOG(tessel_numerror(), "msg too big");
  const int line = __LINE__ + 1;
  TESSEL_TRACE();
  loglib::flush_all();
  out = testing::internal::GetCapturedStdout();
  const std::string info = ReadFolder(root + "tessel.info");
  EXPECT_TRUE(contains_shape(out, kStamp + "[+] started\n")) << out;
  EXPECT_TRUE(fits(info.substr(0, info.find('\n') + 1), kStamp + "[+] started\n")) << info;
  EXPECT_TRUE(testkit::InOrder(info, {"_Test::TestBody(" + std::to_string(line) + ")\n"}));
  EXPECT_TRUE(fits(ReadFolder(root + "tessel.numerror"), kStamp + "msg too big\n"));
}

TEST(Trace, TheQualifiedNameDropsReturnTypeParametersAndQualifiers) {
  const std::pair<const char*, const char*> cases[] = {
      {"static cTessel& cTessel::Instance()", "cTessel::Instance"},
      {"virtual void cBridge::Run(long unsigned int)", "cBridge::Run"},
      {"const std::string& cTesselValues::GetExe() const", "cTesselValues::GetExe"},
      {"int* make(std::map<int, int>)", "make"},
      {"bool cCmd::operator()(const char*) const", "cCmd::operator()"},
      {"std::map<int, int> ns::cA<T>::Get(T) [with T = int]", "ns::cA<T>::Get"},
      {"no_parameters", "no_parameters"}};
  for (const auto& [pretty, name] : cases) EXPECT_EQ(QualifiedFunctionName(pretty), name);
}

}  // namespace
