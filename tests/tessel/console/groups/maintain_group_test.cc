#include "tessel/console/groups/cmd_maintain.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <lua.hpp>

#include <atomic>
#include <set>
#include <thread>

#include "cmd_group_util.h"
#include "tessel/console/groups/maintain_broadcast.h"
#include "tessel/console/groups/maintain_disk.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/core/tessel_values.h"
#include "tessel/util/process_finder.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_size_limit.h"
#include "testkit/link_swapper.h"
#include "testkit/no_read_override.h"
#include "testkit/test_host.h"
#include "testkit/wait.h"

namespace fs = std::filesystem;

namespace {

using testkit::WriteFile;

// The maintenance group typed on the console in a fresh working folder, whose servers, temp
// and www roots are the default folders below it.
class MaintainGroupTest : public GroupTest {
 protected:
  std::string Run(const std::string& cmd) {
    const stGroupRun run = RunInGroup(cCmdMaintain::Instance(), cmd);
    EXPECT_TRUE(run.ok) << cmd;
    return run.out;
  }
  bool Says(const std::string& cmd, const std::string& text) {
    return Run(cmd).find(text) != std::string::npos;
  }
  // What a command and the jobs it started wrote, once they have all been answered. The outer
  // capture sets its variable of the environment before any job runs: the inner ones then only
  // replace its value, which a job's thread starting a process may read meanwhile.
  std::string RunJobs(const std::string& cmd) {
    testkit::cStdoutCapture out;
    const std::string said = Run(cmd);
    for (int i = 0; i < 3000 && cShellJobs::Instance().Pending() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      cShellJobs::Instance().Deliver();
    }
    return said + out.Text();
  }
  // Writes an executable shell script.
  void Script(const fs::path& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
  }
  fs::path Servers(const std::string& name = "") const { return m_dir.path() / "servers" / name; }
};

TEST_F(MaintainGroupTest, FileNamesAndKindsFromPeersNeverLeaveTheirRoot) {
  fs::create_directories(Servers("inner"));
  WriteFile(m_dir.path() / "secret.txt", "secret");
  for (const char* name : {"../secret.txt", "/tmp/x.txt", "inner/../../x.txt", "c:\\\\x.txt",
                           "\\\\x.txt", "inner\\\\..\\\\..\\\\x", "..", "", "inner/..", "a\\0b.txt",
                           "a\\nb.txt", "a\\27]0;t\\7.log", "inner/\\127"}) {
    const std::string q = "'" + std::string(name) + "'";
    EXPECT_TRUE(Says("writefileindex(" + q + ",0,'data')", "refused")) << name;
    EXPECT_TRUE(Says("downloadfile(" + q + ")", "refused")) << name;
    EXPECT_TRUE(Says("downloadfilepart(" + q + ",0)", "refused")) << name;
    EXPECT_TRUE(Says("downloadpathtime(1," + q + ")", "not find")) << name;
  }
  EXPECT_FALSE(fs::exists(m_dir.path() / "x.txt"));
  // A name of a folder is no file to write: refused before any folder is made.
  for (const char* name : {"made/", "made\\\\", "inner/made/."})
    EXPECT_TRUE(Says("writefileindex('" + std::string(name) + "',1,'data')", "refused")) << name;
  EXPECT_EQ(std::distance(fs::directory_iterator(Servers()), {}), 1);  // inner
  EXPECT_TRUE(fs::is_empty(Servers("inner")));
  for (const char* kind : {"../x", "a/b", "..", ""}) {
    EXPECT_NE(RunJobs("copy('" + std::string(kind) + "')").find("无法识别"), std::string::npos)
        << kind;
    EXPECT_NE(RunJobs("open('" + std::string(kind) + "')").find("无法识别"), std::string::npos)
        << kind;
  }
}

// Symbolic links inside the servers root lead nowhere outside it, and no command moves the
// roots.
TEST_F(MaintainGroupTest, LinksOutOfTheRootAreRefusedAndTheRootsStayWhereTheyWereSet) {
  WriteFile(m_dir.path() / "secret.txt", "secret");
  fs::create_directories(Servers());
  fs::create_directory_symlink(m_dir.path(), Servers("out"));
  fs::create_symlink(m_dir.path() / "secret.txt", Servers("secret.txt"));
  // A link to nothing yet: writing through it would make its target outside.
  fs::create_symlink(m_dir.path() / "made.txt", Servers("dangling"));
  // A sibling whose name begins with the root's own.
  WriteFile(m_dir.path() / "servers_old/secret.txt", "secret");
  fs::create_directory_symlink(m_dir.path() / "servers_old", Servers("old"));
  EXPECT_TRUE(Says("downloadfile('old/secret.txt')", "refused"));
  EXPECT_TRUE(Says("writefileindex('old/x.txt',0,'data')", "refused"));
  EXPECT_FALSE(fs::exists(m_dir.path() / "servers_old/x.txt"));
  EXPECT_TRUE(Says("writefileindex('out/x.txt',0,'data')", "refused"));
  EXPECT_TRUE(Says("writefileindex('dangling',0,'data')", "refused"));
  EXPECT_FALSE(fs::exists(m_dir.path() / "made.txt"));
  EXPECT_TRUE(Says("downloadfile('secret.txt')", "refused"));
  EXPECT_TRUE(Says("downloadfile('out/secret.txt')", "refused"));
  EXPECT_FALSE(fs::exists(m_dir.path() / "x.txt"));
  // A link inside the root swapped to the outside while the commands run: what is read or
  // written is judged as opened, not as it was when the name was confined.
  WriteFile(Servers("real/s.txt"), std::string(cCmdMaintain::kPartBytes + 1, 'i'));
  WriteFile(m_dir.path() / "s.txt", std::string(cCmdMaintain::kPartBytes + 1, 'S'));
  std::string sent;
  {
    const testkit::cLinkSwapper swapper(Servers("sw"), "real", m_dir.path());
    for (int i = 0; i < 300; ++i) {
      for (const std::string& text :
           Served(cCmdMaintain::Instance(), 4, "downloadfile('sw/s.txt')"))
        sent += text.substr(0, 40);
      Run("writefileindex('sw/d/w.txt'," + std::to_string(i % 2) + ",'data')");
    }
  }
  EXPECT_EQ(sent.find('S'), std::string::npos);
  EXPECT_FALSE(fs::exists(m_dir.path() / "d"));
  fs::create_hard_link(m_dir.path() / "secret.txt", Servers("hard.txt"));  // a hard link out
  Run("writefileindex('hard.txt',1,'+more')");
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "secret.txt"), "secret");
  const stGroupRun set =
      RunInGroup(cCmdConfig::Instance(), "SetConfigString('maintain_servers','/')");
  EXPECT_NE(set.out.find("refused"), std::string::npos) << set.out;
  EXPECT_EQ(MaintainServersRoot(), fs::path("servers/"));
  // Nor does a read whose default a missing root would keep (with @read).
  RunInGroup(cCmdConfig::Instance(),
             "GetConfigString('maintain_www','/') "
             "GetExeParam('maintain_temp','/') GetConfigValue('maintain_x',1)");
  EXPECT_EQ(MaintainWwwRoot() / MaintainTempRoot(), fs::path("www/servers/wvclient/temp/"));
  EXPECT_FALSE(GetConfigStore().Holds("maintain_x"));
}

// Which log files each cleaning removes, by size (MB) or age (days).
TEST_F(MaintainGroupTest, CleaningRemovesOnlyLogFilesOverTheSizeOrAgeLimit) {
  const std::tuple<const char*, std::size_t, int> files[] = {
      {"a/big.log", 3 << 20, 1}, {"a/small.log", 1000, 1},  {"b/c/old.log", 10, 50},
      {"b/day.log", 10, 30},     {"big.txt", 3 << 20, 100}, {"b/twomeg.log", (2 << 20) + 1, 1}};
  const std::pair<const char*, std::set<std::string>> cases[] = {
      {"cleanlogl(2)", {"a/big.log", "b/twomeg.log"}},
      {"cleanlogl(3)", {}},
      {"cleanlog(1)", {"b/c/old.log"}},
      {"cleanlog(0)", {"b/c/old.log", "b/day.log"}},
  };
  for (const auto& [cmd, removed] : cases) {
    for (const auto& [name, bytes, hours] : files) {
      WriteFile(Servers(name), std::string(bytes, 'x'));
      fs::last_write_time(Servers(name),
                          fs::file_time_type::clock::now() - std::chrono::hours(hours));
    }
    Run(cmd);
    for (const auto& [name, bytes, hours] : files)
      EXPECT_EQ(fs::exists(Servers(name)), removed.count(name) == 0) << cmd << " " << name;
  }
  // A name that would drive the terminal is shown with its controls escaped.
  WriteFile(Servers("t\x1b]0;owned\x07.log"), "x");
  EXPECT_EQ(Run("cleanlogl(0)").find('\x1b'), std::string::npos);
  EXPECT_FALSE(fs::exists(Servers("t\x1b]0;owned\x07.log")));
  // A folder that cannot be read is said and passes no other over; the cleaning is no " ok".
  for (const char* f : {"l/a/x.log", "l/locked/x.log", "l/z/x.log"}) WriteFile(Servers(f), "x");
  fs::permissions(Servers("l/locked"), fs::perms::none);
  const testkit::cNoReadOverride asSiteUser;
  const std::string said = Run("cleanlogl(0)");
  fs::permissions(Servers("l/locked"), fs::perms::owner_all);
  EXPECT_NE(said.find("can not read servers/l/locked: Permission denied\n"), std::string::npos);
  EXPECT_TRUE(said.ends_with(" failed: 1 folder(s) could not be read\n")) << said;
  EXPECT_FALSE(fs::exists(Servers("l/a/x.log")) || fs::exists(Servers("l/z/x.log")));
  // A listed folder swapped for a link to the outside (and back) while the cleaning runs: the
  // files out there stay.
  fs::create_directory_symlink(m_dir.path() / "out", Servers("sub.link"));
  for (int i = 0; i < 200; ++i) WriteFile(m_dir.path() / "out" / (std::to_string(i) + ".log"), "v");
  std::atomic<bool> stop{false}, swapping{false};
  std::thread swapper([&] {
    const std::string a = Servers("sub").string(), b = Servers("sub.link").string();
    // Swapped back to a folder whenever it stops.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int swaps = 0; !(stop && swaps % 2 == 0) && std::chrono::steady_clock::now() < deadline;)
      if (!(swapping || swaps % 2))
        std::this_thread::yield();
      else if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        ++swaps;
  });
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 200; ++i) WriteFile(Servers("sub") / (std::to_string(i) + ".log"), "x");
    swapping = true;
    Run("cleanlogl(0)");
    swapping = false;
    for (int w = 0; w < 1000000 && !fs::is_symlink(Servers("sub.link")); ++w)
      std::this_thread::yield();
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.path() / "out"), {}), 200);
}

// The command that carries a file to a peer rebuilds it whatever it holds, here and on a peer
// whose writefileindex takes exactly three arguments; the escapes are undone, index 0 replaces
// and any other index appends.
TEST_F(MaintainGroupTest, WriteFileIndexRebuildsAnyContents) {
  lua_State* peer = luaL_newstate();
  luaL_openlibs(peer);
  luaL_dostring(peer,
                "function writefileindex(f, i, t, ...) assert(select('#', ...) == 0) "
                "got = (i == 0 and '' or got) .. t:gsub('%$%]%$%]', ']]'):gsub('%$%[%$%[', '[[') "
                "end");
  const std::string contents[] = {"[[nested]] and ]] alone",
                                  "ends in ]===] and ]=] and ]]",
                                  "a]",
                                  "\nwindows\r\nline\r\n",
                                  std::string("nul\0byte", 8),
                                  "$[$[ and $]$] written out",
                                  "quote ' \" \\ \xe4\xb8\xad\x01\xff",
                                  ""};
  for (const std::string& text : contents) {
    const std::string cmd = MakeWriteFileIndexCmd("t/f.bin", 0, text);
    Run(cmd);
    EXPECT_EQ(testkit::ReadFile(Servers("t/f.bin")), text) << text;
    EXPECT_EQ(luaL_dostring(peer, cmd.c_str()), 0) << lua_tostring(peer, -1);
    lua_getglobal(peer, "got");
    EXPECT_EQ(std::string(lua_tostring(peer, -1), lua_objlen(peer, -1)), text) << cmd;
    lua_settop(peer, 0);
  }
  lua_close(peer);
  EXPECT_EQ(MakeWriteFileIndexCmd("a.txt", 0, "x"), "writefileindex('a.txt',0,[===[x]===])");
  Run("writefileindex('t/f.bin',2,' more')");
  EXPECT_EQ(testkit::ReadFile(Servers("t/f.bin")), " more");
  Run("writefileindex('e.txt',0,[===[a$[$[b$]$]c]===])");
  EXPECT_EQ(testkit::ReadFile(Servers("e.txt")), "a[[b]]c");
  // A new file that holds secrets (account, login, key or password file) is the owner's alone.
  for (const std::string name : {"0/db/accounts/gm.ini", "1/tls/game.key", "0/PassWord.txt"}) {
    Run("writefileindex('" + name + "'," + name[0] + ",'pw = x')");
    EXPECT_EQ(fs::status(Servers(name)).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
  WriteFile(Servers("huge.bin"), std::string(200000, 'a'));
  EXPECT_TRUE(Says("downloadfile('huge.bin')", " size 200000 overflow\n"));
}

// A part that meets a full disk (here the limit of a file's size) leaves the file as it was, and
// says so.
TEST_F(MaintainGroupTest, AWriteThatMeetsAFullDiskLeavesTheFileAsItWas) {
  WriteFile(Servers("f.bin"), "old");
  testkit::cFileSizeLimit full(1000);
  const std::string big(4000, 'x');
  const std::string said =
      Run("writefileindex('f.bin',0,'" + big + "') writefileindex('f.bin',1,'" + big + "')");
  full.Lift();
  EXPECT_EQ(testkit::ReadFile(Servers("f.bin")), "old");
  EXPECT_EQ(testkit::CountOf(said, "writefileindex failed file f.bin\n"), 2u) << said;
  // Appends that would take one file past its bound are refused, the file as it was.
  SetConfigValue("writefileindex_max_mbytes", 1);
  const std::string over = Run("for i = 0, 11 do writefileindex('g.bin',i,('p'):rep(1e5)) end");
  SetConfigValue("writefileindex_max_mbytes", 1024);
  EXPECT_EQ(fs::file_size(Servers("g.bin")), 1000000u);
  EXPECT_EQ(testkit::CountOf(over, "writefileindex refused file g.bin: over 1 MiB\n"), 2u);
}

// Served for a peer, the parts asked for in order rebuild the file on the requester (whose
// servers root is "mirror"), and only recent logs of a folder are sent.
TEST_F(MaintainGroupTest, ServedDownloadsRebuildTheFilesOnTheRequester) {
  std::string contents;
  for (unsigned i = 0; contents.size() < cCmdMaintain::kPartBytes * 5 / 2; ++i)
    contents += "line " + std::to_string(i) + (i % 7 ? " ]]\n" : " [[\r\n");
  WriteFile(Servers("big.txt"), contents);
  WriteFile(Servers("game/new.log"), "new");
  WriteFile(Servers("game/old.log"), "old");
  fs::last_write_time(Servers("game/old.log"),
                      fs::file_time_type::clock::now() - std::chrono::hours(5));
  std::vector<std::string> sent;
  for (const char* cmd : {"downloadfilepart('big.txt',0)", "downloadfilepart('big.txt',1)",
                          "downloadfilepart('big.txt',2)", "downloadpathtime(2,'game')"})
    for (const std::string& text : Served(cCmdMaintain::Instance(), cCmdMaintain::kLevel, cmd))
      sent.push_back(text);
  SetConfigString("maintain_servers", "mirror/");
  for (const std::string& text : sent)
    if (text.rfind("writefileindex(", 0) == 0) Run(text);
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "mirror/big.txt"), contents);
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "mirror/game/new.log"), "new");
  EXPECT_FALSE(fs::exists(m_dir.path() / "mirror/game/old.log"));
  const auto beyond = Served(cCmdMaintain::Instance(), 4, "downloadfilepart('big.txt',3)");
  ASSERT_EQ(beyond.size(), 1u);
  EXPECT_NE(beyond[0].find(" part 3 of 3 overflow\n"), std::string::npos) << beyond[0];
}

// How each command ends when it cannot do its work: on the console a file cannot be sent back;
// copy finds nothing to copy; any number of hours reaches every log; a clock more than a year
// away is refused (and never overflows).
TEST_F(MaintainGroupTest, FailuresEndWithTheirOwnLineAndNoSuccessLine) {
  WriteFile(Servers("game/new.log"), "new");
  const std::tuple<cCmd*, std::string, std::string> rows[] = {
      {&cCmdMaintain::Instance(), "downloadfile('game/new.log')",
       "file game/new.log send failed\n"},
      {&cCmdMaintain::Instance(), "downloadpathtime(4000000000,'game')",
       "file game/new.log send failed\n"},
      {&cCmdOS::Instance(), "OS_SetTime(-9e18,'x')", "OS_SetTime time out of range\n"},
      {&cCmdOS::Instance(), "OS_SetTime(os.time() + 400 * 86400,'x')", "time out of range\n"}};
  for (const auto& [group, statement, ending] : rows) {
    const stGroupRun run = RunInGroup(*group, statement);
    EXPECT_TRUE(run.ok) << statement;
    EXPECT_TRUE(run.out.ends_with(ending)) << statement << "\n" << run.out;
  }
  // Logs past the most sent are counted; a folder that cannot be read (no descriptor left to
  // open it) sends none, never an empty list as if whole.
  for (int i = 0; i < 17; ++i) WriteFile(Servers("many/" + std::to_string(i) + ".log"), "x");
  EXPECT_TRUE(Run("downloadpathtime(1,'many')").ends_with("time 1 count 17 overflow \n"));
  auto none = std::make_unique<testkit::cDescriptorLimit>();
  ASSERT_TRUE(none->held);
  const std::string unread = Run("downloadpathtime(1,'game')");
  none.reset();
  EXPECT_TRUE(unread.ends_with("path game can not be read: Too many open files \n")) << unread;
  EXPECT_TRUE(RunJobs("copy('nokind')").ends_with("copy nokind failed\n"));
  // The list of programs as a Windows editor saves it: each name is a kind all the same.
  WriteFile(Servers("serverconfig.ini"), "\xEF\xBB\xBFnokind\t\r\n; note\r\n\tnokind2 \r\n");
  const std::string opened = RunJobs("open('all')");
  EXPECT_EQ(opened.find("无法识别"), std::string::npos) << opened;
  EXPECT_NE(opened.find(" param = \nfail result \nnot find "), std::string::npos) << opened;
  for (const char* exe : {"/nokind/servernokind_r.exe\n", "/nokind2/servernokind2_r.exe\n"})
    EXPECT_NE(opened.find(exe), std::string::npos) << opened;
  fs::remove(Servers("serverconfig.ini"));
  // A pipe as the list of programs: read, it would hold this site job and refuse every later one.
  ASSERT_EQ(::mkfifo(Servers("serverconfig.ini").c_str(), 0600), 0);
  EXPECT_TRUE(
      RunJobs("open('all')").ends_with("serverconfig.ini is no regular file; it is not read\n"));
  EXPECT_EQ(cTimerManager::Instance().GetDiff(), 0);
  cTimerManager::Instance().SetDiff(0);
}

// disk() answers a folder's space; a file system that does not answer (a hung share) holds the
// worker at most the wait, and the questions after it not at all, until it has answered.
TEST_F(MaintainGroupTest, DiskIsAnsweredAndAFileSystemThatHangsHoldsNoWorker) {
  EXPECT_TRUE(Says("disk('.')", " total "));
  EXPECT_TRUE(Run("disk('no/such/folder')")
                  .ends_with(" failed\nfunc_disk refused: No such file or directory\n"));
  std::atomic<bool> release{false};
  cMaintainDisk::SetQuery([&release](const char*, struct statvfs*) {
    for (int i = 0; i < 3000 && !release; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
  });
  EXPECT_TRUE(Says("disk('.')", " failed\nfunc_disk no answer within 2 s\n"));
  EXPECT_TRUE(Says("disk('.')", " failed\nfunc_disk an earlier question has not been answered"));
  cMaintainDisk::SetQuery(nullptr);
  release = true;
  bool answered = false;
  for (int i = 0; i < 500 && !answered; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    answered = Says("disk('.')", " total ");
  }
  EXPECT_TRUE(answered);
}

// Seconds from 9:00 to the planned restart, -1 for a refused text.
TEST_F(MaintainGroupTest, RestartTimesAreTodayOrTomorrowAndOtherTextsAreRefused) {
  std::tm morning{0, 0, 9, 7, 0, 126, 0, 0, -1, 0, nullptr};  // 7 January 2026, 9:00
  const std::time_t nine = std::mktime(&morning);
  const std::pair<const char*, long> rows[] = {
      {"10:30", 5400}, {"9:0", 86400}, {"09:01", 60}, {"0:0", 54000}, {"8:59", 86340},
      {"24:00", -1},   {"10-30", -1},  {"10:60", -1}, {"", -1},       {"1030", -1},
      {":30", -1},     {"10:", -1},    {"a:b", -1},   {"100:1", -1},  {"-1:30", -1},
      {"10:30x", -1},  {"1:005", -1}};
  for (const auto& [text, fromNine] : rows) {
    std::time_t when = 0;
    EXPECT_EQ(PlanRestartTime(text, nine, when) ? when - nine : -1, fromNine) << text;
  }
}

// dos and System answer with their own texts around the line's output; dos output is bounded
// and leaves no file; Time sets the machine's clock only through the hook and refuses times out
// of range.
// The info values a command sets hold a bounded number of short names and values: an account
// that may write could otherwise fill the process's memory outside its Lua state.
TEST_F(MaintainGroupTest, InfoValuesSetByCommandsAreBounded) {
  cTesselValues& values = cTesselValues::Instance();
  Run("SetInfoValue('Restart','at 12')");
  EXPECT_EQ(values.GetInfoValue("Restart"), "at 12");
  EXPECT_TRUE(Says("SetInfoValue('big', string.rep('x', 5000))", "refused"));
  EXPECT_EQ(values.GetInfoValue("big").size(), 0u);
  EXPECT_TRUE(Says("for i = 1, 1000 do SetInfoValue('n'..i, 'v') end", "refused"));
  EXPECT_EQ(values.GetInfoValue("n1"), "v");
  EXPECT_EQ(values.GetInfoValue("n1000"), "");
  Run("SetInfoValue('Restart','at 13')");
  EXPECT_EQ(values.GetInfoValue("Restart"), "at 13") << "a name it has keeps taking values";
}

TEST_F(MaintainGroupTest, DosIsBoundedAndTheClockIsSetOnlyThroughItsHook) {
  testkit::cStdoutCapture out;
  Run("dos('echo a; echo b')");
  RunInGroup(cCmdOS::Instance(), "System('echo c')");
  Run("dos('head -c 100000 /dev/zero | tr \"\\\\0\" x')");
  for (int i = 0; i < 2000 && cShellJobs::Instance().Pending() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cShellJobs::Instance().Deliver();
  }
  const std::string big = out.Text();
  EXPECT_NE(big.find("func_dos ip: " + GetTesselIP() + " a\nb\n"), std::string::npos) << big;
  EXPECT_NE(big.find("OS_System start c\n end "), std::string::npos) << big;
  EXPECT_EQ(std::count(big.begin(), big.end(), 'x'), cShellJobs::kMaxOutput);
  EXPECT_FALSE(fs::exists(m_dir.path() / "dir.txt"));
#ifndef TESSEL_SANITIZED  // with no descriptor left for its pipe the line never runs: said so
  const std::string notRun = (testkit::cDescriptorLimit(), RunJobs("dos('echo d')"));
  EXPECT_TRUE(notRun.ends_with(" ... not run: cannot start /bin/sh: Too many open files\n"));
#endif
  std::vector<std::time_t> set;
  SetOsCalendarSetter([&](std::time_t t, std::string*) {
    set.push_back(t);
    return true;
  });
  Run("Time(1002030) Time(-5) Time(1e300)");
  EXPECT_EQ(set, std::vector<std::time_t>{1002030});
}

// The site's tools replaced by scripts that record how they were called, then by one that hangs.
TEST_F(MaintainGroupTest, SiteStepsRunTheToolsInOrderAndCopyWaitsForTheProgramsEnd) {
  const fs::path home = m_dir.path() / "home", calls = m_dir.path() / "calls.txt";
  fs::create_directories(home);
  fs::current_path(home);
  WriteFile(m_dir.path() / "ftpserver.ini", "ip = 127.0.0.1\nport = 21\nuser = u\npassword = pw\n");
  Script(m_dir.path() / "myftp", "echo \"ftp $*\" >> " + calls.string() +
                                     "\n[ \"$5\" = get ] && echo \"$6\" > \"$7\"\nexit 0");
  fs::create_directories(home / "servers");
  // An archive there is added to ("a"): the one packed is a fresh one.
  WriteFile(home / "temp/servers_update.zip", "an older package");
  Script(m_dir.path() / "zip",
         "[ -e \"$2\" ] && [ $1 = a ] && echo old >> " + calls.string() + "\necho \"zip $*\" >> " +
             calls.string() +
             "\nprintf 'inflating: a\\033[2Jb\\n'\nif [ \"$1\" = x ]; then mkdir -p \"$3\"; printf "
             "'#!/bin/sh\\necho after $0 >> " +
             calls.string() + "\\n' > \"$3/afterunzip2.bat\"; chmod +x \"$3/afterunzip2.bat\"; fi");
  EXPECT_NE(RunJobs("upload('server')").find("压缩完毕\n上传完毕\n"), std::string::npos);
  WriteFile(home / "temp/servers/old/stale.txt", "an earlier package's file");
  const std::string fetched = RunJobs("download('server')");
  EXPECT_NE(fetched.find("下载完毕\n解压缩完毕\n完毕\n"), std::string::npos);
  EXPECT_NE(fetched.find("inflating: a\\x1B[2Jb\n"), std::string::npos) << fetched;
  EXPECT_FALSE(fs::exists(home / "temp/servers/old")) << "copy would take it on";
  EXPECT_EQ(testkit::ReadFile(calls),
            "zip a temp/servers_update.zip servers/\n"
            "ftp 127.0.0.1 21 u pw put temp/servers_update.zip servers_update.zip\n"
            "ftp 127.0.0.1 21 u pw get servers_update.zip temp/servers_update.zip\n"
            "zip x temp/servers_update.zip temp/servers\nafter temp/servers/afterunzip2.bat\n");
  // A fetch that breaks off leaves no part of the package.
  Script(m_dir.path() / "myftp", "echo part > \"$7\"; exit 1");
  EXPECT_NE(RunJobs("download('server')").find("zip removed: it was not made whole\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(home / "temp/servers_update.zip"));
  // A tool that hangs (an unreachable site) is ended at the shell lines' time limit.
  SetConfigValue("shell_time_limit", 1);
  Script(m_dir.path() / "myftp", "sleep 60");
  const std::string hung = RunJobs("upload('server')");
  EXPECT_NE(hung.find("myftp timed out after 1 s"), std::string::npos) << hung;
  EXPECT_EQ(hung.find("上传完毕"), std::string::npos) << hung;
  SetConfigValue("shell_time_limit", 4294968);  // ~50 days; its milliseconds wrapped to 0.7 s
  Script(m_dir.path() / "myftp", "sleep 1");
  EXPECT_NE(RunJobs("upload('server')").find("上传完毕"), std::string::npos);
  SetConfigValue("shell_time_limit", 0);
  // copy puts the downloaded files in place over read-only ones, but not while the server
  // program of that kind runs.
  const std::string kind = "tslmaint" + std::to_string(getpid()), name = "server" + kind + "_r.exe";
  const fs::path to = home / "servers" / kind;
  WriteFile(home / "temp/servers" / kind / "a.txt", "new");
  WriteFile(to / "a.txt", "old");
  fs::permissions(to / "a.txt", fs::perms::owner_read);
  fs::copy_file("/bin/sleep", to / name);
  EXPECT_NE(RunJobs("copy('" + kind + "')").find("完毕\n"), std::string::npos);
  EXPECT_EQ(testkit::ReadFile(to / "a.txt"), "new");
  WriteFile(home / "temp/servers" / kind / "b.txt", "new");
  const pid_t child = fork();
  if (child == 0) {
    sigset_t all;  // the host blocks the console signals
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    execl((to / name).c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_TRUE(testkit::WaitUntil([&] { return FindProcessByName(name.c_str()); }));
  EXPECT_NE(RunJobs("copy('" + kind + "')").find("程序还在运行无法copy"), std::string::npos);
  EXPECT_FALSE(fs::exists(to / "b.txt"));
  ::kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // A link in the package or at the place a file goes that leads out of the folders: nothing is
  // copied through it, nor anything it names into the roots.
  WriteFile(m_dir.path() / "secret.txt", "secret");
  WriteFile(m_dir.path() / "target.txt", "kept");
  for (const auto& [link, target] :
       {std::pair{home / "temp/servers" / kind / "leak\x1b[2J.txt", m_dir.path() / "secret.txt"},
        std::pair{to / "b.txt", m_dir.path() / "target.txt"}}) {
    fs::remove(link);
    fs::create_symlink(target, link);
    const std::string answer = RunJobs("copy('" + kind + "')");
    EXPECT_NE(answer.find("a link leads out of"), std::string::npos);
    EXPECT_EQ(answer.find('\x1b'), std::string::npos) << answer;  // the package's name, escaped
    fs::remove(link);
  }
  EXPECT_FALSE(fs::exists(to / "leak\x1b[2J.txt"));
  // Folder links that lead round together would be copied round and round into the root.
  for (const char* link : {"r/a", "r/b"})
    fs::create_directories(home / "temp/servers" / kind / link);
  fs::create_directory_symlink("../b", home / "temp/servers" / kind / "r/a/x");
  fs::create_directory_symlink("../a", home / "temp/servers" / kind / "r/b/y");
  EXPECT_NE(RunJobs("copy('" + kind + "')").find(" refused: a link leads to a folder above it\n"),
            std::string::npos);
  fs::remove_all(home / "temp/servers" / kind / "r");
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "target.txt"), "kept");
  // Nor through one swapped in after that check; and a full disk leaves the old file whole.
  {
    const testkit::cLinkSwapper swapper(to / "b.txt", "a.txt", m_dir.path() / "target.txt");
    for (int i = 0; i < 100; ++i) RunJobs("copy('" + kind + "')");
  }
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "target.txt"), "kept");
  // Making the root writable reaches no file out of it through a folder traded for a link.
  WriteFile(m_dir.path() / "ro/f.txt", "ro");
  fs::permissions(m_dir.path() / "ro/f.txt", fs::perms::owner_read);
  WriteFile(home / "servers/sub/f.txt", "in");  // the same name inside
  fs::create_directory_symlink(m_dir.path() / "ro", home / "servers/sub.link");
  fs::create_hard_link(m_dir.path() / "ro/f.txt", home / "servers/hard.txt");  // nor a hard link
  {
    const testkit::cLinkSwapper folder(home / "servers/sub", home / "servers/sub.link");
    for (int i = 0; i < 100; ++i) RunJobs("copy('" + kind + "')");
  }
  EXPECT_EQ(fs::status(m_dir.path() / "ro/f.txt").permissions(), fs::perms::owner_read);
  WriteFile(home / "temp/servers" / kind / "b.txt", std::string(300000, 'n'));
  fs::remove(to / "b.txt.other");
  fs::remove(to / "b.txt");
  WriteFile(to / "b.txt", "old");
  testkit::cFileSizeLimit full(100000);
  const std::string said = RunJobs("copy('" + kind + "')");
  full.Lift();
  EXPECT_NE(said.find(" failed File too large\n"), std::string::npos) << said;
  EXPECT_TRUE(testkit::ReadFile(to / "b.txt") == "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(to), {}), 3);  // a.txt, b.txt, the program
  // A folder that copy makes takes the package's bits, as its files do.
  for (const char* f : {"k2", "k2/keys"}) ::mkdir((home / "temp/servers" / f).c_str(), 0700);
  RunJobs("copy('k2')");
  for (const char* f : {"k2", "k2/keys"})
    EXPECT_EQ(fs::status(home / "servers" / f).permissions(), fs::perms::owner_all) << f;
  // An unpack that breaks off leaves no part of the package for copy to put in place.
  Script(m_dir.path() / "zip", "mkdir -p \"$3/game\"; echo cut > \"$3/game/half.txt\"; exit 1");
  const std::string cut = RunJobs("download('server')");
  EXPECT_NE(cut.find("temp/servers removed: it was not unpacked whole\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(home / "temp/servers"));
}

// The site tools run off the worker, one job at a time: the command returns while its tool still
// runs, another site command meanwhile is refused, and the answer comes when the job ends.
TEST_F(MaintainGroupTest, SiteToolsRunOffTheWorkerOneJobAtATime) {
  const fs::path home = m_dir.path() / "home", go = m_dir.path() / "go";
  fs::create_directories(home);
  fs::current_path(home);
  SetConfigValue("shell_time_limit", 20);
  testkit::cStdoutCapture outer;  // see RunJobs
  WriteFile(m_dir.path() / "ftpserver.ini", "ip = 127.0.0.1\nport = 21\nuser = u\npassword = pw\n");
  Script(m_dir.path() / "myftp",
         "while [ ! -e " + go.string() + " ]; do sleep 0.02; done; echo ftp-waited");
  EXPECT_EQ(Run("download('client')").find("下载完毕"), std::string::npos);
  EXPECT_EQ(cShellJobs::Instance().Pending(), 1u);
  EXPECT_TRUE(Says("open('maps')", "busy: another site job runs"));
  WriteFile(go, "");
  const std::string answer = RunJobs("");
  EXPECT_NE(answer.find("ftp-waited\nfunc_download ip: "), std::string::npos) << answer;
  EXPECT_NE(answer.find("下载完毕\nnot find ../zip\n"), std::string::npos) << answer;
  SetConfigValue("shell_time_limit", 0);
}

// A recursive broadcast a process below passed on (the served record is its text) goes on
// quietly where no link of a server manager takes it (where it began, it says 'not sent').
TEST(MaintainBroadcast, APassedOnBroadcastGoesOnQuietly) {
  struct : cTestHost {
    int SendCmdAllServerManager(int, const char*) override { return 0; }
  } host;
  const std::string text = MakeBroadReverseCmd(-1, "'passed on'");
  EXPECT_EQ(Served(cCmdMaintain::Instance(), 4, text, true), std::vector<std::string>{});
}

// The broadcast texts, run by a receiver, hand over exactly the group, text and name sent.
TEST(MaintainBroadcast, TextsReachTheReceiverUnchanged) {
  const std::string name = "ga\"me";
  for (const std::string text :
       {"Echo('it''s')", "a]]b[[c", "x\\\"); os.exit()--", "line\nbreak"}) {
    cRecordCmd receiver("cCmd_Receiver",
                        {"DoCmd", "BroadCmdReverse", "BroadCmdNameClient", "BroadCmdReverseName"});
    receiver.Create();
    for (const std::string& cmd :
         {MakeBroadDoCmd(3, text), MakeBroadReverseCmd(4, text),
          MakeBroadNameClientCmd(5, text, name), MakeBroadReverseNameCmd(6, text, name)})
      EXPECT_TRUE(receiver.Do(cmd.c_str())) << cmd;
    EXPECT_EQ(receiver.Texts(),
              (std::vector<std::string>{"DoCmd 3 " + text, "BroadCmdReverse 4 " + text,
                                        "BroadCmdNameClient 5 " + text + " " + name,
                                        "BroadCmdReverseName 6 " + text + " " + name}));
  }
}

}  // namespace
