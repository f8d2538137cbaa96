// Value stores: the text stream form, the string-value files and the process's stores.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "tessel/core/config_stores.h"
#include "tessel/core/string_value.h"
#include "tessel/core/text_stream.h"
#include "tessel/core/unreadable_line.h"
#include "testkit/file_text.h"
#include "testkit/logger_lines.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testkit::ReadFile;
using IntList = std::list<std::pair<std::string, int>>;
using Ints = cStringValue::IntTable;
using Strs = cStringValue::StringTable;

// The size an overflow exception of type E carries when `text` is read into `into`; 0 if none.
template <class E>
uint32_t OverflowSize(const std::string& text, auto& into) {
  std::istringstream in(text);
  try {
    in& into;
  } catch (const E& e) {
    return e.m_size;
  }
  return 0;
}

// Integers, strings and lists round-trip through the text form; a list cut short keeps only its
// whole elements. Lengths and counts over 102400 (or a count that is no number) throw before
// anything is allocated, with the refused size; a store read that throws is left as it was.
TEST(TextStream, ValuesRoundTripAndShortOrOversizeInputKeepsOnlyWholeValues) {
  std::list<std::pair<std::string, std::string>> strs{
      {"name", "two words"}, {"empty", ""}, {"", "x"}, {"nl", "a\nb = c"}},
      back{{"stale", "x"}};
  std::ostringstream os;
  os& std::int64_t{-9000000000} & strs& IntList{{"port", 7000}, {"", 1}};
  EXPECT_EQ(os.str().substr(os.str().size() - 19), "2\n4 port 7000 0 1 \n");
  std::istringstream in(os.str());
  std::int64_t big = 0;
  IntList ints;
  in& big& back& ints;
  ASSERT_TRUE(in);
  EXPECT_EQ(big, -9000000000);
  EXPECT_EQ(back, strs);
  EXPECT_EQ(ints, (IntList{{"port", 7000}, {"", 1}}));
  // A string is read whole, or the read fails ("!") and leaves it empty.
  for (const auto& [text, read] :
       {std::pair{"0 ", ""}, {"3 abc", "abc"}, {"5 ab", "!"}, {"5 ", "!"}, {"5", "!"}}) {
    std::istringstream part(text);
    std::string s = "old";
    part& s;
    const bool fails = std::string(read) == "!";
    EXPECT_EQ(part.fail(), fails) << text;
    EXPECT_EQ(s, fails ? "" : read) << text;
  }
  std::istringstream cut("3\n1 a 1 1 b 2 1 c ");
  IntList items{{"stale", 0}};
  cut& items;
  EXPECT_TRUE(cut.fail());
  EXPECT_EQ(items, (IntList{{"a", 1}, {"b", 2}}));
  std::string s;
  const std::string whole = "102400 " + std::string(102400, 'x');
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>(whole, s), 0u);
  EXPECT_EQ(s.size(), 102400u);
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>("102401 abc", s), 102401u);
  for (const char* text : {"abc", "", "102401\n"})
    EXPECT_EQ(OverflowSize<exception_steam_readoverflow_container>(text, items), 102401u) << text;
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow>("200000\n", items), 200000u);
  cStringValue store;
  store.SetStringValue("port", 7000);
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>("1\n4 port 1 \n1\n102401 x", store),
            102401u);
  EXPECT_EQ(store.GetValues(), (Ints{{"port", 7000}}));
}

// Files load up to the first malformed entry; a string entry splits at its first separator.
// Saving replaces the whole file through no lasting temporary and loads back the same; the save
// flag writes both tables on destruction; a default read is stored; Add wraps.
TEST(ValueStores, FilesLoadUpToTheFirstBadEntrySavesReplaceThemWholeAndPasswordsStayHidden) {
  testkit::cTempDir dir;
  const std::pair<const char*, Ints> cases[] = {
      {"port = 7000\nlevel = -3\n\nport = 7001\n", {{"port", 7001}, {"level", -3}}},
      {"a = 1\nport=7000\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport = x\nb = 2\n", {{"a", 1}}},
      {"a = 1\nbig = 99999999999\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport =", {{"a", 1}}},
      // Not set: a forgotten '=' (its 1 was the '=', 0 the value), a part of an integer.
      {"a = +1\nlua_time_limit 10\nb = 2\n", {{"a", 1}}},
      {"a = 1\nt = 0.5\n", {{"a", 1}}},
      {"\xEF\xBB\xBFz = 1\n", {{"z", 1}}}};  // an editor's byte-order mark
  for (const auto& [text, loaded] : cases) {
    cStringValue store;
    store.LoadValue(dir.write("int.ini", text).c_str());
    EXPECT_EQ(store.GetValues(), loaded) << text;
  }
  cStringValue texts, none;
  texts.LoadStringA(
      dir.write("str.ini", "ip = 127.0.0.1\r\nexpr = a = b\n\nlater = lost\n").c_str());
  EXPECT_EQ(texts.GetStrings(), (Strs{{"ip", "127.0.0.1"}, {"expr", "a = b"}}));
  // Saved as UTF-16 (either byte order), a file reads as the text it holds.
  cStringValue wide;
  wide.LoadStringA(
      dir.write("str.ini", testkit::Utf16Le("rule = @read\r\nname = ") + "\x2D\x4E").c_str());
  wide.LoadStringA(dir.write("str.ini", std::string("\xFE\xFF\0a\0 \0=\0 \0b", 12)).c_str());
  EXPECT_EQ(wide.GetStrings(), (Strs{{"rule", "@read"}, {"name", "\xE4\xB8\xAD"}, {"a", "b"}}));
  // What commands may store (10000 texts of 64 KiB) loads back, megabytes of it too.
  std::string large;
  for (int i = 0; i < 40; ++i)
    large += "t" + std::to_string(i) + " = " + std::string(65536, 'x') + "\n";
  texts.LoadStringA(dir.write("str.ini", large).c_str());
  EXPECT_EQ(texts.GetStrings().size(), 42u);
  texts.LoadStringA(
      dir.write("str.ini", "\xEF\xBB\xBF rights_without_account\t  = @read\n").c_str());
  EXPECT_EQ(texts.GetStrings().at("rights_without_account"), "@read");
  fs::create_directory(dir / "folder.ini");
  ASSERT_EQ(::mkfifo((dir / "pipe.ini").c_str(), 0600), 0);  // read, it would hold the start
  EXPECT_FALSE(none.LoadValue((dir / "missing.ini").c_str()));
  for (const char* odd : {"folder.ini", "pipe.ini"}) {
    EXPECT_FALSE(none.LoadValue((dir / odd).c_str())) << odd;
    EXPECT_FALSE(none.LoadStringA((dir / odd).c_str())) << odd;
    fs::remove(dir / odd);
  }
  EXPECT_TRUE(none.GetValues().empty());
  EXPECT_TRUE(none.GetStrings().empty());
  const std::string ints = dir / "int.ini", strs = dir / "str.ini";
  {
    cStringValue store, back;
    EXPECT_EQ(store.GetStringValue("x", 5), 5);
    EXPECT_EQ(store.GetStringValue("x", 9), 5) << "the first default read was stored";
    store.AddStringValue("n", 3);
    store.SetStringValue("m", INT_MAX);
    store.AddStringValue("m", 1);
    EXPECT_EQ(store.GetStringValue("m", 0), INT_MIN);
    store.SetStringString("name", "two words = here");
    // What a line cannot carry is refused: stored, it would read back as other names.
    EXPECT_FALSE(store.SetStringString("x", "1\nmaintain_servers = /"));
    EXPECT_FALSE(store.SetStringString("a\rb", "1"));
    EXPECT_FALSE(store.SetStringString("a\t", "1"));
    EXPECT_FALSE(store.SetStringValue("a = b", 1));
    EXPECT_FALSE(store.SetStringValue("a\nb", 1));
    dir.write("int.ini", "old = 1\nstale = 2\n");
    ASSERT_TRUE(store.SaveValue(ints.c_str()));
    ASSERT_TRUE(store.SaveString(strs.c_str()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    back.Load(ints.c_str(), strs.c_str());
    EXPECT_EQ(back.GetValues(), store.GetValues());
    EXPECT_EQ(back.GetStrings(), store.GetStrings());
    testkit::cStdoutCapture out;
    EXPECT_FALSE(store.SaveValue((dir / "no/such/int.ini").c_str()));
    EXPECT_FALSE(fs::exists(dir / "no"));
  }
  for (bool save : {false, true}) {
    EXPECT_EQ(ReadFile(ints), "m = -2147483648\nn = 3\nx = 5\n") << "written without the flag";
    cStringValue store;
    store.Load(ints.c_str(), strs.c_str());
    store.SetSave(save);
    store.SetStringValue("n", 1);
  }
  EXPECT_EQ(ReadFile(ints), "m = -2147483648\nn = 1\nx = 5\n");
  // A launch password is stored whole but shown only as a mask; the process's stores load from
  // the working folder.
  testkit::cStdoutCapture out;
  AddExeParamStream(
      "map = map_01 PassWord = s3cret initcmd = /5/SetConnect('u','h',1,'g','Top9') "
      "dangling =");
  EXPECT_EQ(GetExeParam("initcmd", ""), "/5/SetConnect('u','h',1,'g','Top9')");
  EXPECT_EQ(GetMapServerName(), "map_01");
  EXPECT_EQ(GetExeParam("PassWord", ""), "s3cret");
  EXPECT_EQ(GetExeParam("dangling", "-"), "-");
  const std::string shown = GetExeParamText() + out.Text();
  EXPECT_TRUE(shown.find("s3cret") == shown.npos && shown.find("Top9") == shown.npos) << shown;
  EXPECT_NE(GetExeParamText().find("map = map_01 PassWord = "), std::string::npos);
  dir.enter().write("config/config_int.ini", "cs_loaded = 42\n");
  LoadValueStores();
  EXPECT_TRUE(fs::is_directory("game"));
  EXPECT_EQ(GetConfigValue("cs_loaded", 0), 42);
  GetConfigStore().SetSave(false);
  GetGameStore().SetSave(false);
}

// A line that stops a load is reported with its file and line, on the console and in the error
// log, once however often the file is loaded; the load rules stay: the values before it are kept.
// An empty line that ends a string file is reported only when text follows it.
TEST(ValueStores, TheLineThatStopsALoadIsReportedOnceWithItsFileAndLine) {
  static testing_support::logger_lines errors("tessel.err");
  LogUnreadableLinesFromNowOn();
  loglib::flush_log_cache();
  errors.take();  // reports of other tests
  testkit::cTempDir dir;
  const struct {
    bool ints;
    const char* text;
    int line;  // the line reported, 0 for none
    size_t kept;
    const char* said = "";  // more of the report
  } cases[] = {
      {true, "a = 1\n\x01\xfe\xff garbage\n", 2, 1},
      {true, "a = 1\n\n\nport = x\n", 4, 1},
      {true, "a = 1\nport\n=\n7000\n", 0, 2},  // the words may span lines
      {true, "a = 1\n  \n", 0, 1},
      {false, "a = b\nno separator\nc = d\n", 2, 1},
      {false, "a = b\n\nc = d\n", 2, 1},
      {false, "a = b\n\n \n", 0, 1},
      {true, "a = 1\nlua_time_limit = 1O\n", 2, 1, "lua_time_limit: expected NAME = INTEGER"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].text);
    const std::string name = "f" + std::to_string(i) + ".ini";
    const std::string path = dir.write(name, cases[i].text);
    testkit::cStdoutCapture out;
    cStringValue store, again;
    if (cases[i].ints) {
      store.LoadValue(path.c_str()), again.LoadValue(path.c_str());
      EXPECT_EQ(store.GetValues().size(), cases[i].kept);
    } else {
      store.LoadStringA(path.c_str()), again.LoadStringA(path.c_str());
      EXPECT_EQ(store.GetStrings().size(), cases[i].kept);
    }
    loglib::flush_log_cache();
    const std::vector<std::string> logged = errors.take();
    if (cases[i].line == 0) {
      EXPECT_EQ(out.Text(), "");
      EXPECT_TRUE(logged.empty());
      continue;
    }
    const std::string said = name + " line " + std::to_string(cases[i].line) + " cannot be read";
    EXPECT_NE(out.Text().find(said + ": " + cases[i].said), std::string::npos) << out.Text();
    EXPECT_EQ(out.Text().find(said), out.Text().rfind(said)) << out.Text();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find(said), std::string::npos) << logged[0];
  }
  // A file there only in other letter case (a home copied from Windows) is named, not read.
  testkit::cStdoutCapture out;
  cStringValue store;
  dir.write("Game/Game_Str.ini", "a = b\n");
  store.LoadStringA((dir / "game//game_str.ini").c_str());
  EXPECT_TRUE(store.GetStrings().empty());
  EXPECT_NE(out.Text().find("game_str.ini is not there, " + dir / "Game/Game_Str.ini"),
            std::string::npos)
      << out.Text();
}

// Names and texts drawn at random from the bytes that matter to the file lines: whatever any
// way of storing takes (set, add, a default stored by a get) loads back from the saved files as
// the same tables, which hold enough entries for the check to mean something.
TEST(ValueStores, WhateverIsStoredReadsBackAsItselfFromTheFiles) {
  testkit::cTempDir dir;
  std::mt19937 random(28);
  const std::string bytes = "ax=b=ax= \t\r\n\v\f";
  auto draw = [&] {
    std::string text(random() % 8, ' ');
    for (char& c : text) c = bytes[random() % bytes.size()];
    return text;
  };
  cStringValue store;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = draw(), text = draw();
    store.SetStringValue(name.c_str(), i);
    store.SetStringString(name.c_str(), text);
    store.AddStringValue(draw().c_str(), i);
    store.GetStringValue(draw().c_str(), i);
    store.GetStringString(draw().c_str(), text.c_str());
  }
  EXPECT_FALSE(store.SetStringString("maintain_servers =", "x"));
  EXPECT_FALSE(store.SetStringValue("a x1 check_login", 0));
  EXPECT_GT(store.GetValues().size(), 100u);
  EXPECT_GT(store.GetStrings().size(), 100u);
  const std::string ints = dir / "int.ini", strs = dir / "str.ini";
  ASSERT_TRUE(store.SaveValue(ints.c_str()));
  ASSERT_TRUE(store.SaveString(strs.c_str()));
  cStringValue back, marked, markedBack;
  back.Load(ints.c_str(), strs.c_str());
  EXPECT_EQ(back.GetValues(), store.GetValues());
  EXPECT_EQ(back.GetStrings(), store.GetStrings());
  // A name that begins like a byte-order mark the files may start with, first in a file.
  for (const char* name : {"\xEF\xBB\xBFx", "\xFF\xFEx", "\xFE\xFFx"}) {
    marked.Clear(), markedBack.Clear();
    marked.SetStringValue(name, 1), marked.SetStringString(name, "y");
    ASSERT_TRUE(marked.SaveValue(ints.c_str()) && marked.SaveString(strs.c_str()));
    markedBack.Load(ints.c_str(), strs.c_str());
    EXPECT_EQ(markedBack.GetValues(), marked.GetValues()) << name;
    EXPECT_EQ(markedBack.GetStrings(), marked.GetStrings()) << name;
  }
}

}  // namespace

// A string read while another thread sets the same value is one whole value or the other.
TEST(ValueStores, AStringReadWhileItIsSetIsAWholeValue) {
  cStringValue store;
  const std::string shortText(20, 's'), longText(4000, 'l');
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; i < 20000; ++i) store.SetStringString("k", i % 2 ? longText : shortText);
    done = true;
  });
  int mixed = 0;
  while (!done) {
    const std::string got = store.GetStringString("k", "");
    mixed += !(got.empty() || got == shortText || got == longText);
  }
  setter.join();
  EXPECT_EQ(mixed, 0);
}
