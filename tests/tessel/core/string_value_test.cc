#include "tessel/core/string_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <sstream>

#include "tessel/core/text_stream.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testkit::ReadFile;

class StringValueTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& content) {
    dir_.write(name, content);
    return dir_.file(name);
  }
  testkit::cTempDir dir_;
};

// "name = number" lines; the load stops at the first malformed entry, keeping earlier ones.
TEST_F(StringValueTest, IntegerFilesLoadUpToTheFirstMalformedEntry) {
  const struct {
    const char* text;
    cStringValue::IntTable loaded;
  } cases[] = {
      {"port = 7000\nlevel = -3\n\nport = 7001\n", {{"port", 7001}, {"level", -3}}},
      {"a = 1\nport=7000\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport = x\nb = 2\n", {{"a", 1}}},
      {"a = 1\nbig = 99999999999\nb = 2\n", {{"a", 1}}},
      {"a = 1\nport =", {{"a", 1}}},
      {"port=7000", {}},
  };
  for (const auto& c : cases) {
    cStringValue store;
    store.LoadValue(File("int.ini", c.text).c_str());
    EXPECT_EQ(store.GetValues(), c.loaded) << c.text;
  }
}

// A string entry splits at its first separator; a line without one ends the file.
TEST_F(StringValueTest, StringFilesSplitAtTheFirstSeparatorAndStopAtALineWithoutOne) {
  cStringValue store;
  store.LoadStringA(File("str.ini", "ip = 127.0.0.1\r\nexpr = a = b\n\nlater = lost\n").c_str());
  EXPECT_STREQ(store.GetStringString("ip", ""), "127.0.0.1");
  EXPECT_STREQ(store.GetStringString("expr", ""), "a = b");
  EXPECT_STREQ(store.GetStringString("later", "default"), "default");
  fs::create_directory(dir_.file("folder.ini"));
  cStringValue none;
  EXPECT_FALSE(none.LoadValue(dir_.file("missing.ini").c_str()));
  none.LoadValue(dir_.file("folder.ini").c_str());
  none.LoadStringA(dir_.file("folder.ini").c_str());
  EXPECT_TRUE(none.GetValues().empty());
  EXPECT_TRUE(none.GetStrings().empty());
}

// A default read is stored; saving replaces the whole file through no lasting temporary, and
// what was saved loads back the same.
TEST_F(StringValueTest, SavedTablesReplaceTheFileWholeAndLoadBackTheSame) {
  cStringValue store;
  EXPECT_EQ(store.GetStringValue("x", 5), 5);
  EXPECT_EQ(store.GetStringValue("x", 9), 5);
  store.SetStringString("name", "two words = here");
  const std::string ints = File("int.ini", "old = 1\nstale = 2\n");
  ASSERT_TRUE(store.SaveValue(ints.c_str()));
  ASSERT_TRUE(store.SaveString(dir_.file("str.ini").c_str()));
  EXPECT_EQ(ReadFile(ints), "x = 5\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
  cStringValue back;
  back.Load(ints.c_str(), dir_.file("str.ini").c_str());
  EXPECT_EQ(back.GetValues(), store.GetValues());
  EXPECT_EQ(back.GetStrings(), store.GetStrings());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(store.SaveValue(dir_.file("no/such/int.ini").c_str()));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(fs::exists(dir_.file("no")));
}

TEST_F(StringValueTest, TheSaveFlagWritesBothTablesOnDestruction) {
  const std::string ints = dir_.file("int.ini"), strs = dir_.file("str.ini");
  for (bool save : {false, true}) {
    if (save) {
      EXPECT_FALSE(fs::exists(ints)) << "written without the flag";
    }
    cStringValue store;
    store.Load(ints.c_str(), strs.c_str());
    store.SetSave(save);
    store.SetStringValue("n", 1);
    store.SetStringString("s", "t");
  }
  EXPECT_EQ(ReadFile(ints), "n = 1\n");
  EXPECT_EQ(ReadFile(strs), "s = t\n");
}

TEST_F(StringValueTest, AddCountsAMissingValueAsZeroAndWrapsAtTheIntegerRange) {
  cStringValue store;
  store.AddStringValue("n", 3);
  store.AddStringValue("n", 4);
  EXPECT_EQ(store.GetStringValue("n", 0), 7);
  store.SetStringValue("max", INT_MAX);
  store.AddStringValue("max", 1);
  EXPECT_EQ(store.GetStringValue("max", 0), INT_MIN);
}

// The stream form starts with the integers; an overflowing count or length throws and leaves
// the store as it was.
TEST_F(StringValueTest, StreamFormRoundTripsAndOverflowLeavesTheStoreUnchanged) {
  cStringValue store;
  store.SetStringValue("port", 7000);
  store.SetStringString("", "empty name");
  std::ostringstream os;
  os& store;
  EXPECT_EQ(os.str(), "1\n4 port 7000 \n1\n0 10 empty name \n");
  cStringValue back;
  back.SetStringValue("stale", 1);
  std::istringstream in(os.str());
  in& back;
  EXPECT_EQ(back.GetValues(), store.GetValues());
  EXPECT_EQ(back.GetStrings(), store.GetStrings());
  std::istringstream count("102401\n");
  EXPECT_THROW(count & back, exception_steam_readoverflow_container);
  std::istringstream length("1\n4 port 1 \n1\n102401 x");
  EXPECT_THROW(length & back, exception_steam_readoverflow_string);
  EXPECT_EQ(back.GetValues(), store.GetValues());
}

}  // namespace
