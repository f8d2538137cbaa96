#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/console_key.h"
#include "platform/folders.h"
#include "platform/home_file.h"
#include "platform/line_editor.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/terminal_text.h"
#include "testkit/file_size_limit.h"
#include "testkit/file_text.h"
#include "testkit/scoped_env.h"
#include "testkit/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
constexpr long kDay = 86400;

TEST(Clock, MillisecondsWrapAt32BitsAndLocalTimeFormatsAreZeroPaddedAndNeverCutShort) {
  const uint64_t wrap_ns = (uint64_t{1} << 32) * 1000000u;
  EXPECT_EQ(MillisecondsOf(wrap_ns - 1000000u), 0xFFFFFFFFu);
  EXPECT_EQ(MillisecondsOf(wrap_ns + 5999999u), 5u);
  EXPECT_EQ(ElapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
  // The steady clock reads the monotonic clock in nanoseconds: TimeGetTime is not behind it.
  auto before = MillisecondsOf(std::chrono::steady_clock::now().time_since_epoch().count());
  EXPECT_LT(ElapsedMs(before, TimeGetTime()), 0x80000000u);
  // Local time formats give zero-padded fields; long results are not cut short.
  std::tm tm{};
  ASSERT_NE(::strptime("2026-03-07 09:05:02", "%Y-%m-%d %H:%M:%S", &tm), nullptr);
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  EXPECT_EQ(FormatLocalTime(kFileTimeFormat, t), "2026_03_07-09.05.02");
  EXPECT_EQ(FormatLocalTime(kLineTimeFormat, t), "03_07 09:05:02 ");
  EXPECT_EQ(FormatLocalTime((std::string(300, 'x') + "%Y").c_str(), t).substr(300), "2026");
  EXPECT_EQ(FormatLocalTime("", 0), "");
}

// Attributes map to ANSI colours; a section returns to light cyan; TESSEL_COLOR=0 writes no
// sequence but keeps the attribute (foreground nibble only).
TEST(ConsoleColor, AttributesMapToAnsiAndASectionReturnsToLightCyan) {
  const std::pair<int, const char*> colors[] = {{12, "\x1b[0;91;49m"},
                                                {0x1E, "\x1b[0;93;44m"},
                                                {0xC2, "\x1b[0;32;101m"},
                                                {0, "\x1b[0;30;49m"}};
  for (const auto& [attribute, sequence] : colors) EXPECT_EQ(AnsiSequence(attribute), sequence);
  ScopedEnv color("TESSEL_COLOR", "1");
  testing::internal::CaptureStdout();
  { ColorSection red(kColorLightRed), inner(kColorLightRed); }
  std::cout << "error";
  color.Set("0");
  SetColor(0x5E);
  EXPECT_EQ(CurrentAttribute(), 0x0E);
  SetColor(kColorLightCyan);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            AnsiSequence(12) + AnsiSequence(12) + AnsiSequence(11) + AnsiSequence(11) + "error");
}

TEST(ConsoleKey, AWaitOnATerminalEndsOnceKeyWaitsAreCancelledAsTheProcessEnds) {
  const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
  ASSERT_EQ(::dup2(::open(::ptsname(pty), O_RDWR | O_NOCTTY), STDIN_FILENO), STDIN_FILENO);
  CancelKeyWaits();
  EXPECT_FALSE(WaitOneKey());
}

TEST(LineEditor, EscapeSequencesAndControlBytesNeverStayInALineAndTheStateFileFollowsXdg) {
  const std::pair<std::string, std::string> lines[] = {
      {"Ver()\n", "Ver()"},
      {"\x1b[15~Hello()", "Hello()"},         // a function key the editor has no binding for
      {"He\x1bOAllo(\x1b[1;5D)", "Hello()"},  // an application-mode arrow, a modified one
      {"a\tb\x7f\x01"
       "c\x1b",
       "a bc"},                              // tab, delete, a control byte, a lone escape
      {"'\xe4\xbd\xa0'", "'\xe4\xbd\xa0'"},  // UTF-8 text stays whole
  };
  for (const auto& [typed, clean] : lines) EXPECT_EQ(cLineEditor::Clean(typed), clean) << typed;
  ScopedEnv home("HOME", "/h"), state("XDG_STATE_HOME", "/s");
  EXPECT_EQ(cLineEditor::StateFile("x"), "/s/tessel/x");
  state.Set("s");  // a relative folder is none
  EXPECT_EQ(cLineEditor::StateFile("x"), "/h/.local/state/tessel/x");
  home.Set("h");
  EXPECT_EQ(cLineEditor::StateFile("x"), "");
}

// The history file: a pipe (which held the start), a link and a huge file are refused and named,
// and a full disk leaves the history as it was (the file was cut to nothing) and says so.
TEST(LineEditor, AHistoryFileIsAWholeRegularFileOfBoundedSizeOrNone) {
  testkit::cTempDir dir;
  char* said = nullptr;
  size_t saidBytes = 0;
  std::FILE* out = ::open_memstream(&said, &saidBytes);
  const fs::path fifo = dir.path() / "fifo", big = dir.path() / "big", kept = dir.path() / "kept";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // a read of it ends
  EXPECT_EQ(::write(writer, "x\n", 2), 2);
  fs::create_symlink(big, dir.path() / "link");
  fs::resize_file((testkit::WriteFile(big, "x"), big), cLineEditor::kHistoryBytes + 1);
  for (const fs::path& file : {fifo, dir.path() / "link", big, kept})
    cLineEditor("t", 0, out, file).Remember("Hello()");
  ::close(writer);
  testkit::cFileSizeLimit full(1);
  cLineEditor("t", 0, out, kept).Remember("Ver()");
  EXPECT_NE(testkit::ReadFile(kept).find("Hello()"), std::string::npos);
  std::fclose(out);
  const std::string text(said, saidBytes);
  std::free(said);
  for (const std::string shown : {"fifo not used", "link not used", "big not used", "kept not w"})
    EXPECT_NE(text.find(shown), std::string::npos) << text;
}

// A typed line is appended; the file is written whole after 1000 or when a line read was too long.
TEST(LineEditor, ATypedLineIsAppendedAndTheFileIsWrittenWholeRarely) {
  testkit::cTempDir dir;
  const fs::path file = dir.path() / "history";
  testkit::WriteFile(file, "_HiStOrY_V2_\n" + std::string(5000, 'x') + "\nOld()\n");
  cLineEditor editor("t", 0, stdout, file);
  editor.Remember("Ver()");
  EXPECT_EQ(testkit::ReadFile(file), "_HiStOrY_V2_\nOld()\nVer()\n");
  testkit::WriteFile(file, "_HiStOrY_V2_\nkept\n");  // an append keeps what the file holds
  editor.Remember("Ver()");
  editor.Remember("Help()");
  EXPECT_EQ(testkit::ReadFile(file), "_HiStOrY_V2_\nkept\nHelp()\n");
  for (int i = 0; i < cLineEditor::kHistorySize; ++i) editor.Remember("a" + std::to_string(i));
  EXPECT_EQ(testkit::ReadFile(file).find("kept"), std::string::npos);
}

// A paste through a real terminal past the bound is dropped up to its end; the next line reads.
TEST(LineEditor, ATypedLineLongerThanTheBoundIsDroppedUpToItsEnd) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string text = std::string(3000, 'x') + "\rVer()\r";
  EXPECT_EQ(::write(master, text.data(), text.size()), ssize_t(text.size()));
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen("/dev/null", "w"), &std::fclose);
  std::string line;
  cLineEditor editor("t", slave, out.get(), "");
  editor.SetMaxLineBytes(1000);
  EXPECT_EQ(editor.ReadLine(line), cLineEditor::eRead::kLine);
  EXPECT_EQ(line, "Ver()");
  // Tab lists names a script gave with their controls escaped, and puts no control in the line.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> tty(::fdopen(::dup(slave), "w"), &std::fclose);
  cLineEditor tabbing("t", slave, tty.get(), "");
  tabbing.SetNames([] { return std::vector<std::string>{"ab\x1b]0;x\x07", "abd"}; });
  // Typed once the editor has the terminal raw: bytes the terminal took while still cooked were
  // echoed by it and, as the echo raced the editor's switch, the list was missing from the read.
  std::thread typist([&] {
    termios mode{};
    for (int i = 0; i < 500 && ::tcgetattr(slave, &mode) == 0 && (mode.c_lflag & ICANON); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(::write(master, "ab\t\r", 4), 4);
  });
  EXPECT_EQ(tabbing.ReadLine(line), cLineEditor::eRead::kLine);
  typist.join();
  EXPECT_EQ(line, "ab");
  std::fflush(tty.get());
  // The terminal's echo of both lines and the list, which the terminal hands on when it gets to
  // it: read until the list came, 5 s at most.
  std::string shown;
  const char* list = "ab\\x1B]0;x\\x07  abd  ";
  pollfd ready{master, POLLIN, 0};
  for (char part[4096]; shown.find(list) == std::string::npos && ::poll(&ready, 1, 5000) > 0;)
    shown.append(part, std::max<ssize_t>(::read(master, part, sizeof part), 0));
  EXPECT_NE(shown.find(list), std::string::npos) << shown;
  for (const int fd : {master, slave}) ::close(fd);
}

TEST(Paths, ExecutableIsThisProgramAndHomeIsTesselHomeElseTheExecutableFolder) {
  EXPECT_TRUE(fs::equivalent(ExecutablePath(), "/proc/self/exe"));
  EXPECT_EQ(ExecutableFolder() + "/" + ExecutableFile(), ExecutablePath());
  testkit::cTempDir dir;
  const std::string home = dir.file("nested/home");
  ScopedEnv env("TESSEL_HOME", "");
  EXPECT_EQ(HomeFolder(), ExecutableFolder());
  env.Set(home.c_str());
  EXPECT_EQ(HomeFolder(), home);
  dir.enter();  // given back at the end
  const mode_t umask = ::umask(0);
  EXPECT_TRUE(EnterHome());
  EXPECT_EQ(fs::current_path(), fs::canonical(home));
  // Started with umask 000, the process still makes nothing every user may write.
  EXPECT_EQ(::umask(umask), static_cast<mode_t>(S_IWOTH));
}

TEST(Folders, NestedFoldersAreCreatedAndALastPartWithADotIsAFileUnlessTheSlashSaysFolder) {
  // The path, the result, then a path that must be a folder and one that must not exist.
  const std::tuple<const char*, bool, const char*, const char*> cases[] = {
      {"\\log\\server_3\\link_msg", true, "/log/server_3/link_msg", ""},
      {"/a/b/c/", true, "/a/b/c", ""},
      {"/a/b/c", true, "/a/b/c", ""},
      {"/x/y/2026_01_01-00.00.00.log", true, "/x/y", "/x/y/2026_01_01-00.00.00.log"},
      {"/x/tessel.info/", true, "/x/tessel.info", ""},
      {"/v1.2/logs", true, "/v1.2/logs", ""},
      {"/blocker/inner/deeper/", false, "", "/blocker/inner"}};
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  dir.write("blocker", "x");
  for (const auto& [path, result, folder, missing] : cases) {
    EXPECT_EQ(CreateNestedFolders(root + path), result) << path;
    if (*folder) {
      EXPECT_TRUE(fs::is_directory(root + folder)) << path;
    }
    if (*missing) {
      EXPECT_FALSE(fs::exists(root + missing)) << path;
    }
  }
}

// Files older than the keep time in whole days go; sub-folders and link targets stay.
// What a peer chose reaches a terminal without a control of any kind, its UTF-8 text whole.
TEST(TerminalText, EscapesControlsAndC1NeverSurviveWhileUtf8TextLineEndsAndTabsStay) {
  const std::pair<std::string, std::string> texts[] = {
      {"你好, world\n\tnext", "你好, world\n\tnext"},
      {"a\33[2J\33[31;1mb\33[0m", "ab"},                  // CSI
      {"a\33]0;title\7b\33]52;c;aGk=\33\\c", "abc"},      // OSC to BEL and to ST
      {"a\33(Bb\33c\33Pq#0\33\\d", "abd"},                // charset, reset, DCS
      {"a\r\b\177\1\33z", "a"},                           // C0, DEL, ESC and one byte
      {"a\2332Jb\2350;t\7c\205", "abc"},                  // raw C1: CSI, OSC, NEL
      {"a\302\2332Jb\302\2350;t\234c", "abc"},            // C1 in UTF-8, 8-bit ST
      {"a\377\303(\355\240\200\300\257b", "a?\?(????b"},  // a stray byte, a cut, a
                                                          // surrogate, an overlong form
      {"a\33]0;unended\nb", "a\nb"},                      // a string ends at the line end
      {"\u202egnp.exe\u202c \u2067x\u2069 \u05e9", "gnp.exe x \u05e9"},  // bidi controls
  };
  for (const auto& [text, clean] : texts) EXPECT_EQ(TerminalText(text), clean) << text;
  EXPECT_EQ(Utf8IncompleteTail("ab\xe4\xbd"), 2u);
  EXPECT_EQ(Utf8IncompleteTail("ab\xe4\xbd\xa0"), 0u);
  EXPECT_EQ(Utf8IncompleteTail("ab\xf0"), 1u);
}

TEST(Folders, CleanUpDeletesFilesOlderThanTheKeepTimeInWholeDaysAndFollowsNoLinks) {
  testkit::cTempDir dir;
  const std::string root = dir.path().string();
  auto aged = [](const std::string& path, long seconds, bool link = false) {
    timeval t[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    EXPECT_EQ(link ? ::lutimes(path.c_str(), t) : ::utimes(path.c_str(), t), 0) << path;
  };
  // Ages in hours: four days and one, ten days, three days and one, almost four, one, none.
  const std::pair<const char*, long> files[] = {{"four.log", 97},  {"ten.log", 240},
                                                {"three.log", 73}, {"almost_four.log", 95},
                                                {"hour.log", 1},   {"new.log", 0}};
  for (const auto& [name, hours] : files) aged(dir.write(name, "x"), hours * 3600);
  aged(dir.write("old_folder/inside.log", ""), 30 * kDay);
  aged(dir.write("elsewhere/target.log", ""), 5 * kDay);
  fs::create_symlink(root + "/elsewhere/target.log", root + "/link.log");
  aged(root + "/link.log", 5 * kDay, true);

  EXPECT_EQ(DeleteOldFiles(root, 3), 3);
  for (const auto& [name, hours] : files) EXPECT_EQ(fs::exists(dir / name), hours < 96) << name;
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(root + "/link.log")));
  // A link's target is never deleted, sub-folders are left alone.
  EXPECT_TRUE(fs::exists(root + "/elsewhere/target.log"));
  EXPECT_TRUE(fs::exists(root + "/old_folder/inside.log"));
  EXPECT_EQ(DeleteOldFiles(root + "\\", 0), 2) << "a whole day or more";
  EXPECT_EQ(DeleteOldFiles(root + "/missing", 0), 0);
}

// A file of the home is read whole; a device, a loop or an endless /proc file is refused, named.
TEST(HomeFile, ADeviceALoopOrAnEndlessFileIsRefusedNamingItAndAFileIsReadWhole) {
  testkit::cTempDir dir;
  const std::string text("a = 1\n\0b\r", 9);
  dir.write("plain.ini", text);
  fs::create_symlink("/dev/zero", dir / "zero.ini");
  fs::create_symlink("/proc/self/pagemap", dir / "pagemap.ini");
  fs::create_symlink(dir / "loop.ini", dir / "loop.ini");
  const std::pair<const char*, const char*> rows[] = {
      {"plain.ini", ""},
      {"missing.ini", " does not exist"},
      {"zero.ini", " is no regular file; it is not read"},
      {"pagemap.ini", " is larger than 100 bytes; it is not read"},
      {"loop.ini", " cannot be opened: Too many levels of symbolic links"}};
  for (const auto& [name, why] : rows) {
    std::string got = "left", said;
    const eHomeFile result = ReadHomeFile(dir / name, 100, got, &said);
    EXPECT_EQ(result, *why ? (name[0] == 'm' ? eHomeFile::kMissing : eHomeFile::kRefused)
                           : eHomeFile::kRead);
    EXPECT_EQ(got, *why ? "" : text) << name;
    EXPECT_EQ(said, *why ? dir / name + why : "");
  }
}

// A link at a saved file's name gives the new file the mode asked for, not the linked file's.
TEST(AtomicFile, ALinkAtTheNameIsReplacedByAFileOfTheNewModeNotOfWhatItLeadsTo) {
  testkit::cTempDir dir;
  ASSERT_EQ(::chmod(dir.write("open.txt", "public").c_str(), 06777), 0);
  fs::create_symlink(dir / "open.txt", dir / "secret.ini");
  ASSERT_TRUE(WriteFileAtomicallyAt(AT_FDCWD, dir / "secret.ini", "key = 1", 0600));
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "secret.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, S_IFREG | 0600u);
  EXPECT_EQ(testkit::ReadFile(dir / "open.txt"), "public");
}

struct RegistryTest : ::testing::Test {
  testkit::cTempDir scratch;
  const std::string dir_ = scratch.path().string();
  ScopedEnv registry_{"TESSEL_REGISTRY", dir_.c_str()};
  ScopedEnv xdg_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnv home_{"HOME", nullptr};
};

TEST_F(RegistryTest, FolderComesFromTesselRegistryThenXdgThenHomeAndUnsafeKeysAreRefused) {
  EXPECT_EQ(RegistryKeyFile("Software\\server_3"), dir_ + "/Software/server_3.ini");
  RegistryKey longest;  // its file's name is as long as a folder takes
  EXPECT_TRUE(longest.Open("Software/" + std::string(251, 'k')) && longest.Set("a", "b"));
  for (const char* bad : {"", "Software/../x", "Software//x", "Software/", "./x", "/abs"}) {
    EXPECT_EQ(RegistryKeyFile(bad), "") << bad;
    EXPECT_FALSE(RegistryKey().Open(bad)) << bad;
  }
  registry_.Set(nullptr);
  EXPECT_EQ(RegistryDir(), "");
  home_.Set("/x/home");
  EXPECT_EQ(RegistryDir(), "/x/home/.config/tessel/registry");
  xdg_.Set("/x/cfg");
  EXPECT_EQ(RegistryDir(), "/x/cfg/tessel/registry");
}

// The key file keeps "name = value" lines; a failed write (a folder where the file belongs)
// is reported and leaves no partial or temporary file, and one a killed save left is swept.
TEST_F(RegistryTest, ValuesRoundTripThroughTheKeyFileAndAFailedWriteLeavesNoTemporary) {
  RegistryKey key, other, blocked;
  const std::string crash = "line one\nline two = \\ end";
  // Temporary files of saves and crash records killed while they wrote (a first save's too): an
  // old one of a process no longer running (no PID reaches 2^22) is swept at the first save
  // here, one of a running process (1) kept.
  const std::string soft = dir_ + "/Software/";
  for (const char* left :
       {"server.ini.tmp4194304-3", "server.ini.tmp1-3", "server.ini", "server.crash.tmp4194304",
        "server.crash.tmp1", "new.ini.tmp4194304-1"}) {
    testkit::WriteFile(soft + left, std::string(left).ends_with(".ini") ? "" : "left");
    const timeval aged = {std::time(nullptr) - 3600, 0}, times[2] = {aged, aged};
    ASSERT_EQ(::utimes((soft + left).c_str(), times), 0);
  }
  ASSERT_TRUE(key.Open("Software\\server"));
  ASSERT_TRUE(key.Set({{"exe", "server"}, {"ip", "10.0.0.7"}}));
  ASSERT_TRUE(key.Set("ip", "61.1.1.1"));
  ASSERT_TRUE(key.Set("crash", crash));
  ASSERT_TRUE(other.Open("Software/server"));
  EXPECT_FALSE(other.Get("missing").has_value());
  EXPECT_EQ(other.GetAll(),
            (RegistryValues{{"exe", "server"}, {"ip", "61.1.1.1"}, {"crash", crash}}));
  EXPECT_EQ(testkit::ReadLines(dir_ + "/Software/server.ini").at(0), "exe = server");
  fs::create_directories(dir_ + "/Software/blocked.ini");
  EXPECT_TRUE(blocked.Open("Software/blocked"));
  EXPECT_FALSE(blocked.Set("exe", "server"));
  // A pipe in the key file's place is neither waited on nor written over.
  ASSERT_EQ(::mkfifo((dir_ + "/Software/pipe.ini").c_str(), 0600), 0);
  EXPECT_TRUE(blocked.Open("Software/pipe"));
  EXPECT_FALSE(blocked.Set("exe", "server"));
  EXPECT_TRUE(blocked.GetAll().empty());
  // A key file linked elsewhere is written through, the link kept; a link to nothing is refused.
  fs::create_symlink("server.ini", dir_ + "/Software/linked.ini");
  fs::create_symlink("none.ini", dir_ + "/Software/dangling.ini");
  EXPECT_TRUE(blocked.Open("Software/linked") && blocked.Set("via", "link") && other.Get("via"));
  EXPECT_FALSE(blocked.Open("Software/dangling") && blocked.Set("via", "link"));
  EXPECT_TRUE(fs::is_symlink(dir_ + "/Software/linked.ini") &&
              !fs::exists(dir_ + "/Software/none.ini"));
  testkit::WriteFile(dir_ + "/Software/noted.ini", "# kept\nport=7000\n\nexe = old");  // unread
  ASSERT_TRUE(blocked.Open("Software/noted") && blocked.Set("exe", "new"));
  EXPECT_EQ(testkit::ReadFile(dir_ + "/Software/noted.ini"), "# kept\nport=7000\n\nexe = new\n");
  testkit::WriteFile(dir_ + "/Software/crlf.ini", "port = 7000\r\nip = a\\r\r\n");  // Windows
  ASSERT_TRUE(blocked.Open("Software/crlf"));
  EXPECT_EQ(blocked.GetAll(), (RegistryValues{{"port", "7000"}, {"ip", "a\r"}}));
  for (const char* swept :
       {"server.ini.tmp4194304-3", "server.crash.tmp4194304", "new.ini.tmp4194304-1"})
    EXPECT_FALSE(fs::exists(soft + swept)) << swept;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/Software"), fs::directory_iterator()), 9);
}

// Two threads here and two other processes (programs of one name share the key) write at once.
TEST_F(RegistryTest, ConcurrentWritersToOneKeyLoseNoValue) {
  const auto write = [](int t) {
    RegistryKey key;
    for (int i = 0; key.Open("Software/server") && i < 50; ++i)
      key.Set("t" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i));
  };
  std::vector<pid_t> children;
  for (int t = 2; t < 4; ++t) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      write(t);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) threads.emplace_back(write, t);
  for (auto& th : threads) th.join();
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server"));
  EXPECT_EQ(key.GetAll().size(), 200u);
}

}  // namespace
}  // namespace platform
