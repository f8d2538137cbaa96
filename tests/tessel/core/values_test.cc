// Value stores: the text stream form, the string-value files and the process's stores.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <sstream>

#include "tessel/core/config_stores.h"
#include "tessel/core/string_value.h"
#include "tessel/core/text_stream.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testkit::ReadFile;
using IntList = std::list<std::pair<std::string, int>>;

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

// Integers, strings and lists round-trip through the text form; a string is read whole or
// fails the stream and stays empty; a list cut short keeps only its whole elements.
TEST(TextStream, ValuesRoundTripAndShortInputKeepsOnlyWholeValues) {
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
  const std::pair<const char*, const char*> cases[] = {
      {"0 ", ""}, {"3 abc", "abc"}, {"5 ab", nullptr}, {"5 ", nullptr}, {"5", nullptr}};
  for (const auto& [text, read] : cases) {
    std::istringstream part(text);
    std::string s = "old";
    part& s;
    EXPECT_EQ(part.fail(), read == nullptr) << text;
    EXPECT_EQ(s, read ? read : "") << text;
  }
  std::istringstream cut("3\n1 a 1 1 b 2 1 c ");
  IntList items{{"stale", 0}};
  cut& items;
  EXPECT_TRUE(cut.fail());
  EXPECT_EQ(items, (IntList{{"a", 1}, {"b", 2}}));
}

// Lengths and counts over 102400 (or a count that is no number) throw before anything is
// allocated, carrying the refused size; a store read that throws is left as it was.
TEST(TextStream, LengthsAndCountsOverTheLimitThrowWithTheirSizeAndLeaveTheStore) {
  std::string s;
  EXPECT_EQ(
      OverflowSize<exception_steam_readoverflow_string>("102400 " + std::string(102400, 'x'), s),
      0u);
  EXPECT_EQ(s.size(), 102400u);
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>("102401 abc", s), 102401u);
  IntList items;
  for (const char* text : {"abc", "", "102401\n"})
    EXPECT_EQ(OverflowSize<exception_steam_readoverflow_container>(text, items), 102401u) << text;
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow>("200000\n", items), 200000u);
  cStringValue store;
  store.SetStringValue("port", 7000);
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>("1\n4 port 1 \n1\n102401 x", store),
            102401u);
  EXPECT_EQ(store.GetValues(), (cStringValue::IntTable{{"port", 7000}}));
}

// "name = number" lines load up to the first malformed entry, keeping earlier ones; a string
// entry splits at its first separator and a line without one ends the file.
TEST(StringValue, FilesLoadUpToTheFirstMalformedEntry) {
  testkit::cTempDir dir;
  const std::pair<const char*, cStringValue::IntTable> cases[] = {
      {"port = 7000\nlevel = -3\n\nport = 7001\n", {{"port", 7001}, {"level", -3}}},
      {"a = 1\nport=7000\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport = x\nb = 2\n", {{"a", 1}}},
      {"a = 1\nbig = 99999999999\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport =", {{"a", 1}}}};
  for (const auto& [text, loaded] : cases) {
    cStringValue store;
    store.LoadValue(dir.write("int.ini", text).c_str());
    EXPECT_EQ(store.GetValues(), loaded) << text;
  }
  cStringValue store, none;
  store.LoadStringA(
      dir.write("str.ini", "ip = 127.0.0.1\r\nexpr = a = b\n\nlater = lost\n").c_str());
  EXPECT_EQ(store.GetStrings(),
            (cStringValue::StringTable{{"ip", "127.0.0.1"}, {"expr", "a = b"}}));
  fs::create_directory(dir / "folder.ini");
  EXPECT_FALSE(none.LoadValue((dir / "missing.ini").c_str()));
  none.LoadValue((dir / "folder.ini").c_str());
  none.LoadStringA((dir / "folder.ini").c_str());
  EXPECT_TRUE(none.GetValues().empty() && none.GetStrings().empty());
}

// A default read is stored; Add counts a missing value as zero and wraps; saving replaces the
// whole file through no lasting temporary and loads back the same; the save flag writes both
// tables on destruction.
TEST(StringValue, SavedTablesReplaceTheFileWholeAndLoadBackTheSame) {
  testkit::cTempDir dir;
  const std::string ints = dir / "int.ini", strs = dir / "str.ini";
  {
    cStringValue store, back;
    EXPECT_EQ(store.GetStringValue("x", 5), 5);
    EXPECT_EQ(store.GetStringValue("x", 9), 5);
    store.AddStringValue("n", 3);
    store.SetStringValue("max", INT_MAX);
    store.AddStringValue("max", 1);
    EXPECT_EQ(store.GetStringValue("max", 0), INT_MIN);
    store.SetStringString("name", "two words = here");
    dir.write("int.ini", "old = 1\nstale = 2\n");
    ASSERT_TRUE(store.SaveValue(ints.c_str()) && store.SaveString(strs.c_str()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    back.Load(ints.c_str(), strs.c_str());
    EXPECT_EQ(back.GetValues(), store.GetValues());
    EXPECT_EQ(back.GetStrings(), store.GetStrings());
    testkit::cStdoutCapture out;
    EXPECT_FALSE(store.SaveValue((dir / "no/such/int.ini").c_str()));
    EXPECT_FALSE(fs::exists(dir / "no"));
  }
  for (bool save : {false, true}) {
    EXPECT_EQ(ReadFile(ints), "max = -2147483648\nn = 3\nx = 5\n") << "written without the flag";
    cStringValue store;
    store.Load(ints.c_str(), strs.c_str());
    store.SetSave(save);
    store.SetStringValue("n", 1);
  }
  EXPECT_EQ(ReadFile(ints), "max = -2147483648\nn = 1\nx = 5\n");
}

// Launch parameters are read in threes; a password is stored whole but shown only as a mask;
// the stores load from the working folder and create its folders.
TEST(ConfigStores, LaunchParametersHideThePasswordAndStoresLoadFromTheWorkingFolder) {
  testkit::cStdoutCapture out;
  AddExeParamStream("map = map_01 PassWord = s3cret initcmd = x dangling =");
  EXPECT_EQ(GetMapServerName(), "map_01");
  EXPECT_EQ(GetExeParam("PassWord", ""), "s3cret");
  EXPECT_EQ(GetExeParam("dangling", "none"), "none");
  EXPECT_EQ(GetExeParamText().find("s3cret"), std::string::npos) << GetExeParamText();
  EXPECT_NE(GetExeParamText().find("map = map_01 PassWord = "), std::string::npos);
  EXPECT_EQ(out.Text().find("s3cret"), std::string::npos) << out.Text();
  testkit::cTempDir dir(testkit::cTempDir::kWorkDir);
  dir.write("config/config_int.ini", "cs_loaded = 42\n");
  LoadValueStores();
  EXPECT_TRUE(fs::is_directory("game"));
  EXPECT_EQ(GetConfigValue("cs_loaded", 0), 42);
  GetConfigStore().SetSave(false);
  GetGameStore().SetSave(false);
}

}  // namespace
