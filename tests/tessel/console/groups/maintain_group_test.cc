#include "tessel/console/groups/cmd_maintain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "cmd_group_util.h"
#include "tessel/console/groups/maintain_broadcast.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/os_clock.h"
#include "tessel/util/process_finder.h"
#include "testkit/file_text.h"
#include "testkit/link_test_util.h"
#include "testkit/record_cmd.h"

namespace fs = std::filesystem;

namespace {

using testkit::WriteFile;

// Writes an executable shell script.
void WriteScript(const fs::path& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

// Waits (bounded) until a file exists and holds at least `lines` lines.
std::string WaitForLines(const fs::path& path, int lines) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = testkit::ReadFile(path);
    if (std::count(text.begin(), text.end(), '\n') >= lines) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return testkit::ReadFile(path);
}

// The maintenance group run as local console commands in a fresh working folder, whose
// servers, temp and www roots are the default folders below it.
class MaintainGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GroupTestHost();
    testkit::cStdoutCapture quiet;
    cCmdMaintain::Instance().Create();
    cTesselValues::Instance().SetInfoValue("IP", "10.1.2.3");
  }
  void TearDown() override {
    SetOsCalendarSource(nullptr);
    SetOsCalendarSetter(nullptr);
  }

  // Runs one command; fails the test when Lua reports an error.
  std::string Run(const std::string& cmd) {
    testkit::cStdoutCapture out;
    EXPECT_TRUE(cCmdMaintain::Instance().Do(cmd.c_str())) << cmd;
    return out.Text();
  }

  fs::path Servers(const std::string& name = "") const { return m_dir.path() / "servers" / name; }

  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

TEST_F(MaintainGroupTest, AnswersStartWithTheFunctionNameAndTheAddress) {
  struct Case {
    const char* cmd;
    const char* prefix;
    const char* then;
  };
  const Case cases[] = {
      {"cleanlogl(1)", "func_cleanlogl", " ok\n"},
      {"cleanlog(1)", "func_cleanlog", " ok\n"},
      {"disk('.')", "func_disk", " total "},
      {"disk('/no/such/folder')", "func_disk", " failed\n"},
      {"findprocess('no_such_program_here')", "func_findprocess", "no_such_program_here find 0\n"},
      {"clearascript('nothing')", "func_clearascript", "not find script file nothing\n"},
      {"downloadfile('missing.txt')", "func_downloadfile", "file missing.txt not find \n"},
      {"downloadfilepart('missing.txt',0)", "func_downloadfilepart", "not find \n"},
      {"downloadpathtime(1,'nowhere')", "func_downloadpathtime", "path nowhere not find \n"},
      {"GetTime()", "func_GetTime", "date = "},
      {"Ver()", "func_Version", ""},
      {"open('absent')", "func_openserver", "fail result not find"},
      {"copy('bad kind')", "func_copy", "无法识别 bad kind\n"},
      {"download('other')", "func_download", "无法识别 other\n"},
      {"upload('other')", "func_upload", "无法识别 other\n"},
      {"RestartTime('10-30')", "func_RestartTime", "error time format 格式为 10:30 \n"},
      {"killprocess('no_such_program_here')", "func_killprocess", "no_such_program_here kill 0\n"},
  };
  for (const Case& c : cases) {
    const std::string out = Run(c.cmd);
    const std::string head = std::string(c.prefix) + " ip: 10.1.2.3 ";
    EXPECT_EQ(out.rfind(head, 0), 0u) << c.cmd << " wrote " << out;
    EXPECT_NE(out.find(c.then, head.size()), std::string::npos) << c.cmd << " wrote " << out;
  }
}

TEST_F(MaintainGroupTest, InfoValuesAreSetAndListedWithTheOwnAccountName) {
  EXPECT_EQ(Run("SetInfoValue('Restart','soon')"), "func_SetInfoValue Restart\n");
  const std::string infos = Run("GetInfos()");
  const std::string head = "func_GetInfos " + std::string(cTessel::Current().GetAccount()) + " ";
  EXPECT_EQ(infos.rfind(head, 0), 0u) << infos;
  EXPECT_NE(infos.find("Restart=soon"), std::string::npos) << infos;
}

// Files of the servers root with their sizes and ages, and which of them each cleaning removes.
TEST_F(MaintainGroupTest, CleaningRemovesOnlyLogFilesOverTheSizeOrAgeLimit) {
  struct File {
    const char* name;
    std::size_t bytes;
    int ageHours;
  };
  const File files[] = {{"a/big.log", 3 << 20, 1},         {"a/small.log", 1000, 1},
                        {"b/c/old.log", 10, 50},           {"b/day.log", 10, 30},
                        {"b/fresh.log", 10, 23},           {"big.txt", 3 << 20, 100},
                        {"b/twomeg.log", (2 << 20) + 1, 1}};
  struct Case {
    const char* cmd;
    std::set<std::string> removed;
  };
  const Case cases[] = {
      {"cleanlogl(2)", {"a/big.log", "b/twomeg.log"}},
      {"cleanlogl(3)", {}},
      {"cleanlog(1)", {"b/c/old.log"}},
      {"cleanlog(0)", {"b/c/old.log", "b/day.log"}},
  };
  for (const Case& c : cases) {
    const auto now = fs::file_time_type::clock::now();
    for (const File& f : files) {
      WriteFile(Servers(f.name), std::string(f.bytes, 'x'));
      fs::last_write_time(Servers(f.name), now - std::chrono::hours(f.ageHours));
    }
    const std::string out = Run(c.cmd);
    for (const File& f : files) {
      const bool removed = c.removed.count(f.name) != 0;
      EXPECT_EQ(fs::exists(Servers(f.name)), !removed) << c.cmd << " " << f.name;
      EXPECT_EQ(
          out.find("delete file " + Servers(f.name).lexically_relative(m_dir.path()).string()) !=
              std::string::npos,
          removed)
          << c.cmd << " wrote " << out;
    }
  }
}

TEST_F(MaintainGroupTest, FileNamesFromPeersNeverLeaveTheServersRoot) {
  fs::create_directories(Servers("inner"));
  WriteFile(m_dir.path() / "secret.txt", "secret");
  const char* names[] = {
      "../x.txt", "/tmp/x.txt", "inner/../../x.txt", "c:\\x.txt", "\\x.txt", "inner\\..\\..\\x",
      "..",       "",           "./../x.txt",        "inner/.."};
  for (const char* name : names) {
    const std::string quoted = "'" + std::string(name) + "'";
    std::string quotedLua;
    for (char c : quoted) {
      if (c == '\\') quotedLua += '\\';
      quotedLua += c;
    }
    EXPECT_NE(Run("writefileindex(" + quotedLua + ",0,'data')").find("refused"), std::string::npos)
        << name;
    EXPECT_NE(Run("downloadfile(" + quotedLua + ")").find("refused"), std::string::npos) << name;
    EXPECT_NE(Run("downloadfilepart(" + quotedLua + ",0)").find("refused"), std::string::npos)
        << name;
    EXPECT_NE(Run("downloadpathtime(1," + quotedLua + ")").find("not find"), std::string::npos)
        << name;
  }
  EXPECT_FALSE(fs::exists(m_dir.path() / "x.txt"));
  EXPECT_FALSE(fs::exists("/tmp/x.txt") && testkit::ReadFile("/tmp/x.txt") == "data");
  EXPECT_NE(Run("downloadfile('../secret.txt')").find("refused"), std::string::npos);
  for (const char* kind : {"../x", "a/b", "..", ""}) {
    EXPECT_NE(Run("copy('" + std::string(kind) + "')").find("无法识别"), std::string::npos) << kind;
    EXPECT_NE(Run("open('" + std::string(kind) + "')").find("无法识别"), std::string::npos) << kind;
  }
}

TEST_F(MaintainGroupTest, WriteFileIndexReplacesOnZeroAppendsOtherwiseAndUndoesTheEscapes) {
  Run("writefileindex('deep/er/f.txt',0,'first')");
  Run("writefileindex('deep/er/f.txt',0,'second')");
  EXPECT_EQ(testkit::ReadFile(Servers("deep/er/f.txt")), "second");
  Run("writefileindex('deep/er/f.txt',2,' more')");
  EXPECT_EQ(testkit::ReadFile(Servers("deep/er/f.txt")), "second more");
  Run("writefileindex('e.txt',0,[===[a$[$[b$]$]c]===])");
  EXPECT_EQ(testkit::ReadFile(Servers("e.txt")), "a[[b]]c");
  Run("writefileindex('r.txt',0,[===[a$[$[b]===],1)");
  EXPECT_EQ(testkit::ReadFile(Servers("r.txt")), "a$[$[b");
  EXPECT_EQ(Run("writefileindex('w.txt',1,'x')"), "writefileindex file w.txt index 1\n");
}

// The command that carries a file to a peer, run by the receiving group, rebuilds the file.
TEST_F(MaintainGroupTest, TransferCommandCarriesAnyContentsIntact) {
  const std::string contents[] = {
      "plain text\n",
      "[[nested]] and ]] alone",
      "ends in ]===] and ]==] and ]=] and ]]",
      "a]",
      "\nstarts with a line end",
      "windows\r\nline\r\nends\r\n",
      std::string("nul\0byte", 8),
      "$[$[ and $]$] written out",
      "quote ' and \" and \\ back",
      "\xe4\xb8\xad\xe6\x96\x87 bytes \x01\x7f\xff",
      "",
  };
  int n = 0;
  for (const std::string& text : contents) {
    const std::string name = "t/" + std::to_string(n++) + ".bin";
    const std::string cmd = MakeWriteFileIndexCmd(name, 0, text);
    Run(cmd);
    EXPECT_EQ(testkit::ReadFile(Servers(name)), text) << cmd;
  }
}

TEST_F(MaintainGroupTest, DownloadTooLargeForOneCommandReportsOverflow) {
  WriteFile(Servers("huge.bin"), std::string(200000, 'a'));
  EXPECT_NE(Run("downloadfile('huge.bin')").find(" size 200000 overflow\n"), std::string::npos);
  EXPECT_NE(Run("downloadfilepart('huge.bin',9)").find(" overflow\n"), std::string::npos);
}

TEST_F(MaintainGroupTest, DosReturnsTheOutputWithoutAFileInTheWorkingFolder) {
  const std::string out = Run("dos('echo one; echo two')");
  EXPECT_NE(out.find("\none\ntwo\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(m_dir.path() / "dir.txt"));
  const std::string big = Run("dos('head -c 100000 /dev/zero | tr \"\\\\0\" x')");
  EXPECT_NE(big.find("output truncated at 65536 bytes"), std::string::npos);
  EXPECT_EQ(std::count(big.begin(), big.end(), 'x'), 65536);
}

TEST_F(MaintainGroupTest, RestartTimesAreTodayOrTomorrowAndOtherTextsAreRefused) {
  std::tm morning{};
  morning.tm_year = 126;
  morning.tm_mon = 2;
  morning.tm_mday = 7;
  morning.tm_hour = 9;
  morning.tm_isdst = -1;
  const std::time_t nine = std::mktime(&morning);
  struct Case {
    const char* text;
    bool ok;
    long fromNine;  // seconds after 09:00 of the day
  };
  const Case cases[] = {
      {"10:30", true, 5400},  {"9:0", true, 86400},  {"09:01", true, 60}, {"0:0", true, 54000},
      {"23:59", true, 53940}, {"8:59", true, 86340}, {"24:00", false, 0}, {"10-30", false, 0},
      {"10:60", false, 0},    {"", false, 0},        {"1030", false, 0},  {":30", false, 0},
      {"10:", false, 0},      {"a:b", false, 0},     {"100:1", false, 0}, {"-1:30", false, 0},
      {"10:30x", false, 0},   {"1:005", false, 0},
  };
  for (const Case& c : cases) {
    std::time_t when = 0;
    EXPECT_EQ(PlanRestartTime(c.text, nine, when), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(when - nine, c.fromNine) << c.text;
    }
  }
}

TEST_F(MaintainGroupTest, TimeSetsTheClockOnlyThroughTheHook) {
  std::vector<std::time_t> set;
  bool fail = false;
  SetOsCalendarSetter([&](std::time_t t, std::string* error) {
    if (fail) {
      *error = "not permitted";
      return false;
    }
    set.push_back(t);
    return true;
  });
  const std::string out = Run("Time(1002030)");
  EXPECT_EQ(set, std::vector<std::time_t>{1002030});
  EXPECT_NE(out.find("OS date:01/12/70\nOS time:"), std::string::npos) << out;
  EXPECT_EQ(Run("Time(-5)"), "func_Time  time wrong \n");
  EXPECT_EQ(Run("Time(1e300)"), "func_Time  time wrong \n");
  fail = true;
  EXPECT_NE(Run("Time(1002030)").find(" set time failed not permitted\n"), std::string::npos);
  EXPECT_EQ(set.size(), 1u);
}

TEST_F(MaintainGroupTest, GetTimeReadsTheClockSource) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 13;
  t.tm_min = 4;
  t.tm_sec = 5;
  t.tm_isdst = -1;
  const std::time_t fixed = std::mktime(&t);
  SetOsCalendarSource([fixed] { return fixed; });
  EXPECT_EQ(Run("GetTime()"), "func_GetTime ip: 10.1.2.3 date = 12/06/26 time = 13:04:05\n");
}

// A copy of the sleep program under a name no other process has.
class MaintainProcessTest : public MaintainGroupTest {
 protected:
  void SetUp() override {
    MaintainGroupTest::SetUp();
    m_kind = "tslmaint" + std::to_string(getpid());
    m_name = "server" + m_kind + "_r.exe";
    m_path = Servers(m_kind) / m_name;
    fs::create_directories(m_path.parent_path());
    fs::copy_file("/bin/sleep", m_path);
  }
  void TearDown() override {
    if (m_child > 0) {
      ::kill(m_child, SIGKILL);
      waitpid(m_child, nullptr, 0);
    }
    MaintainGroupTest::TearDown();
  }
  void Start() {
    const std::string path = m_path.string();
    m_child = fork();
    if (m_child == 0) {
      // The host blocks the console signals; the child must receive the close request.
      sigset_t all;
      sigfillset(&all);
      sigprocmask(SIG_UNBLOCK, &all, nullptr);
      execl(path.c_str(), m_name.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500 && !FindProcessByName(m_name.c_str()); ++i) usleep(2000);
  }

  std::string m_kind;
  std::string m_name;
  fs::path m_path;
  pid_t m_child = -1;
};

TEST_F(MaintainProcessTest, CopyIsRefusedWhileTheServerProgramRuns) {
  WriteFile(m_dir.path() / "temp/servers" / m_kind / "a.txt", "new");
  Start();
  EXPECT_NE(Run("copy('" + m_kind + "')").find(m_kind + " 程序还在运行无法copy\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Servers(m_kind) / "a.txt"));
}

// The site's tools replaced by small scripts that record how they were called.
class MaintainSiteTest : public MaintainGroupTest {
 protected:
  void SetUp() override {
    MaintainGroupTest::SetUp();
    m_home = m_dir.path() / "home";
    fs::create_directories(m_home);
    fs::current_path(m_home);
    m_log = m_dir.path() / "calls.txt";
  }
  // ../myftp: get writes the remote name into the local file; put records its arguments.
  void InstallFtp() {
    WriteFile(m_dir.path() / "ftpserver.ini",
              "ip = 127.0.0.1\nport = 21\nuser = u\npassword = pw\n");
    WriteScript(m_dir.path() / "myftp", "echo \"ftp $*\" >> " + m_log.string() +
                                            "\n[ \"$5\" = get ] && echo \"$6\" > \"$7\"\nexit 0");
  }
  // ../zip: x unpacks a made-up package holding the site's after-steps; a packs a list.
  void InstallZip() {
    WriteScript(
        m_dir.path() / "zip",
        "echo \"zip $*\" >> " + m_log.string() +
            "\nif [ \"$1\" = x ]; then mkdir -p \"$3\"; echo pkg > \"$3/file.txt\";"
            " printf '#!/bin/sh\\necho after $0 >> " +
            m_log.string() +
            "\\n' > \"$3/afterunzip2.bat\"; cp \"$3/afterunzip2.bat\" \"$3/createupdate.exe\";"
            " chmod +x \"$3/afterunzip2.bat\" \"$3/createupdate.exe\"; fi\nexit 0");
  }
  std::string Calls() const { return testkit::ReadFile(m_log); }

  fs::path m_home;
  fs::path m_log;
};

TEST_F(MaintainSiteTest, OpenStartsTheServerProgramsWithTheirParameters) {
  const fs::path started = m_dir.path() / "started.txt";
  for (const char* kind : {"game", "map"}) {
    WriteScript(m_home / "servers" / kind / ("server" + std::string(kind) + "_r.exe"),
                "echo \"$(basename \"$PWD\") $*\" >> " + started.string());
  }
  EXPECT_NE(
      Run("open('game')").find("exe = servers/game/servergame_r.exe param = \nsuccess result"),
      std::string::npos);
  EXPECT_EQ(WaitForLines(started, 1), "game \n");
  fs::remove(started);
  Run("open('maps')");
  std::string maps = WaitForLines(started, 3);
  for (const char* map : {"map map = hn account = map_hn\n", "map map = db account = map_db\n",
                          "map map = xb account = map_xb\n"})
    EXPECT_NE(maps.find(map), std::string::npos) << maps;
  fs::remove(started);
  EXPECT_NE(Run("open('all')").find(" not find file serverconfig.ini \n"), std::string::npos);
  WriteFile(m_home / "servers/serverconfig.ini", "game\n\n# note\n");
  Run("open('all')");
  EXPECT_EQ(WaitForLines(started, 1), "game \n");
}

TEST_F(MaintainSiteTest, CopyPutsDownloadedFilesInPlace) {
  WriteFile(m_home / "temp/servers/game/data/a.txt", "new");
  WriteFile(m_home / "temp/servers/top.ini", "top");
  WriteFile(m_home / "temp/servers/extra/x.txt", "x");
  WriteFile(m_home / "servers/game/data/a.txt", "old");
  fs::permissions(m_home / "servers/game/data/a.txt", fs::perms::owner_read);
  const std::string out = Run("copy('game')");
  EXPECT_EQ(testkit::ReadFile(m_home / "servers/game/data/a.txt"), "new");
  EXPECT_NE(out.find("*****\n完毕\n"), std::string::npos) << out;
  EXPECT_NE(Run("copy('chat')").find("not find temp/servers/chat"), std::string::npos);
  Run("copy('all')");
  EXPECT_EQ(testkit::ReadFile(m_home / "servers/top.ini"), "top");
  EXPECT_FALSE(fs::exists(m_home / "servers/extra/x.txt"));
}

TEST_F(MaintainSiteTest, DownloadOfTheServerPackageRunsEveryStepInOrder) {
  InstallFtp();
  InstallZip();
  const std::string out = Run("download('server')");
  EXPECT_NE(out.find("下载完毕\n解压缩完毕\n完毕\n"), std::string::npos) << out;
  EXPECT_EQ(Calls(),
            "ftp 127.0.0.1 21 u pw get servers_update.zip temp/servers_update.zip\n"
            "zip x temp/servers_update.zip temp/servers\n"
            "after temp/servers/afterunzip2.bat\n");
  EXPECT_EQ(testkit::ReadFile(m_home / "temp/servers_update.zip"), "servers_update.zip\n");
}

TEST_F(MaintainSiteTest, DownloadOfTheClientPackageFillsTheWwwFolder) {
  InstallFtp();
  InstallZip();
  const std::string out = Run("download('client')");
  EXPECT_NE(out.find("下载完毕\n解压缩完毕\n文件copy完毕\n创建自动更新完毕\n完毕\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(testkit::ReadFile(m_home / "www/servers/wvclient/file.txt"), "pkg\n");
  EXPECT_NE(Calls().find("after www/servers/wvclient/createupdate.exe\n"), std::string::npos);
}

TEST_F(MaintainSiteTest, UploadPacksAndSendsAndMissingToolsAreNamed) {
  EXPECT_NE(Run("download('server')").find("not find ../ftpserver.ini\n"), std::string::npos);
  InstallFtp();
  EXPECT_NE(Run("upload('server')").find("not find servers/"), std::string::npos);
  fs::create_directories(m_home / "servers");
  EXPECT_NE(Run("upload('server')").find("not find ../zip\n"), std::string::npos);
  InstallZip();
  const std::string out = Run("upload('server')");
  EXPECT_NE(out.find("压缩完毕\n上传完毕\n"), std::string::npos) << out;
  EXPECT_NE(Calls().find("zip a temp/servers_update.zip servers/\nftp 127.0.0.1 21 u pw "
                         "put temp/servers_update.zip servers_update.zip\n"),
            std::string::npos)
      << Calls();
  fs::remove(m_dir.path() / "myftp");
  EXPECT_NE(Run("download('client')").find("not find ../myftp\n"), std::string::npos);
}

// The group serving a peer over a real link on 127.0.0.1; what comes back is run here in the
// same group, as the requesting process would, with its servers root in another folder.
class MaintainLinkTest : public MaintainGroupTest {
 protected:
  void SetUp() override {
    MaintainGroupTest::SetUp();
    m_server = std::make_unique<linktest::cServerEndpoint>();
    m_server->AddCmd(cCmdMaintain::kLevel, &cCmdMaintain::Instance());
    m_peer = std::make_unique<linktest::cPeer>(m_server->Port());
    ASSERT_TRUE(m_server->LogIn(*m_peer, "gm", "s3cret"));
  }
  void TearDown() override {
    m_peer.reset();
    m_server.reset();
    SetConfigString("maintain_servers", "");
    MaintainGroupTest::TearDown();
  }

  // Sends a command to group 4 and returns the command texts that came back, in order, once
  // the Output reply (always the last) has arrived.
  std::vector<std::string> Ask(const std::string& cmd) {
    m_peer->ClearRecords();
    EXPECT_NE(m_peer->SendCmd(cCmdMaintain::kLevel, cmd), 0);
    const auto output = [](const linktest::stReceived& r) {
      return linktest::IsCmd(r) && r.Word(0) == cCmdMaintain::kLevel &&
             r.CmdText().rfind("Output(", 0) == 0;
    };
    {
      testkit::cStdoutCapture quiet;
      EXPECT_TRUE(m_server->PumpUntil([&] {
        for (const auto& r : m_peer->Records())
          if (output(r)) return true;
        return false;
      })) << cmd;
    }
    std::vector<std::string> texts;
    // The login's answer (group 2) may still be on its way.
    for (const auto& r : m_peer->Records())
      if (linktest::IsCmd(r) && r.Word(0) == cCmdMaintain::kLevel) texts.push_back(r.CmdText());
    return texts;
  }

  // Runs what came back as the requester, whose servers root is "mirror".
  void RunAsRequester(const std::vector<std::string>& texts) {
    SetConfigString("maintain_servers", "mirror/");
    for (const std::string& text : texts)
      if (text.rfind("writefileindex(", 0) == 0) Run(text);
    SetConfigString("maintain_servers", "");
  }

  std::unique_ptr<linktest::cServerEndpoint> m_server;
  std::unique_ptr<linktest::cPeer> m_peer;
};

TEST_F(MaintainLinkTest, PartsAskedForInOrderRebuildTheFile) {
  std::string contents;
  for (unsigned i = 0; contents.size() < cCmdMaintain::kPartBytes * 5 / 2; ++i)
    contents += "line " + std::to_string(i) + (i % 7 ? " ]]\n" : " [[\r\n");
  WriteFile(Servers("big.txt"), contents);
  for (int part = 0; part < 3; ++part)
    RunAsRequester(Ask("downloadfilepart('big.txt'," + std::to_string(part) + ")"));
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "mirror/big.txt"), contents);
  const std::vector<std::string> beyond = Ask("downloadfilepart('big.txt',3)");
  ASSERT_EQ(beyond.size(), 1u);
  EXPECT_NE(beyond[0].find(" part 3 of 3 overflow\n"), std::string::npos) << beyond[0];
}

TEST_F(MaintainLinkTest, RecentLogsOfAFolderAreSentAndOthersAreNot) {
  WriteFile(Servers("game/new.log"), "new");
  WriteFile(Servers("game/old.log"), "old");
  WriteFile(Servers("game/new.txt"), "txt");
  fs::last_write_time(Servers("game/old.log"),
                      fs::file_time_type::clock::now() - std::chrono::hours(5));
  RunAsRequester(Ask("downloadpathtime(2,'game')"));
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "mirror/game/new.log"), "new");
  EXPECT_FALSE(fs::exists(m_dir.path() / "mirror/game/old.log"));
  EXPECT_FALSE(fs::exists(m_dir.path() / "mirror/game/new.txt"));
}

// The broadcast texts, run by a receiver, hand over exactly the group, text and name sent.
TEST(MaintainBroadcast, TextsReachTheReceiverUnchanged) {
  cRecordCmd receiver("cCmd_Receiver",
                      {"DoCmd", "BroadCmdReverse", "BroadCmdNameClient", "BroadCmdReverseName"});
  receiver.Create();
  const std::string texts[] = {"Ver()",   "Echo('it''s')",       "Say(\"q\")",
                               "a]]b[[c", "x\\\"); os.exit()--", "line\nbreak"};
  const std::string name = "ga\"me";
  for (const std::string& text : texts) {
    const std::pair<std::string, stRecordedCall> cases[] = {
        {MakeBroadDoCmd(3, text), {"DoCmd", {"3", text}}},
        {MakeBroadReverseCmd(4, text), {"BroadCmdReverse", {"4", text}}},
        {MakeBroadNameClientCmd(5, text, name), {"BroadCmdNameClient", {"5", text, name}}},
        {MakeBroadReverseNameCmd(6, text, name), {"BroadCmdReverseName", {"6", text, name}}},
    };
    for (const auto& [cmd, expected] : cases) {
      receiver.ClearCalls();
      testkit::cStdoutCapture quiet;
      EXPECT_TRUE(receiver.Do(cmd.c_str())) << cmd;
      ASSERT_EQ(receiver.Calls().size(), 1u) << cmd;
      EXPECT_EQ(receiver.Calls()[0].function, expected.function) << cmd;
      EXPECT_EQ(receiver.Calls()[0].args, expected.args) << cmd;
    }
  }
}

}  // namespace
