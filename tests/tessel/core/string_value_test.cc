#include "tessel/core/string_value.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tessel/core/text_stream.h"
#include "testkit/child_process.h"

namespace {

namespace fs = std::filesystem;

class StringValueTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& content) {
    std::ofstream(tmp_.File(name), std::ios::binary) << content;
    return tmp_.File(name);
  }

  cTempDir tmp_;
  const std::string dir_ = tmp_.path();
};

TEST_F(StringValueTest, IntegerFileLoadsNameEqualsNumberEntries) {
  cStringValue store;
  EXPECT_TRUE(store.LoadValue(File("int.ini", "port = 7000\nlevel = -3\n\nport = 7001\n").c_str()));
  EXPECT_EQ(store.GetStringValue("port", 0), 7001);
  EXPECT_EQ(store.GetStringValue("level", 0), -3);
  EXPECT_EQ(store.GetValues().size(), 2u);
}

TEST_F(StringValueTest, IntegerLoadStopsAtTheFirstMalformedEntryKeepingEarlierOnes) {
  struct Case {
    const char* text;
    size_t loaded;
  };
  for (const Case& c : {Case{"a = 1\nport=7000\nb = 2\n", 1}, Case{"a = 1\nport = x\nb = 2\n", 1},
                        Case{"a = 1\nbig = 99999999999\nb = 2\n", 1}, Case{"a = 1\nport =", 1},
                        Case{"port=7000", 0}}) {
    cStringValue store;
    store.LoadValue(File("int.ini", c.text).c_str());
    cStringValue::IntTable values = store.GetValues();
    EXPECT_EQ(values.size(), c.loaded) << c.text;
    EXPECT_EQ(values.count("b"), 0u) << c.text;
    EXPECT_EQ(values.count("port"), 0u) << c.text;
    if (c.loaded) {
      EXPECT_EQ(values["a"], 1) << c.text;
    }
  }
}

TEST_F(StringValueTest, UnreadableFilesLoadNothingAndDefaultsApply) {
  cStringValue store;
  EXPECT_FALSE(store.LoadValue((dir_ + "/missing.ini").c_str()));
  EXPECT_FALSE(store.LoadStringA((dir_ + "/missing.ini").c_str()));
  fs::create_directory(dir_ + "/folder.ini");
  store.LoadValue((dir_ + "/folder.ini").c_str());
  store.LoadStringA((dir_ + "/folder.ini").c_str());
  EXPECT_TRUE(store.GetValues().empty());
  EXPECT_TRUE(store.GetStrings().empty());
  EXPECT_EQ(store.GetStringValue("port", 7000), 7000);
  EXPECT_STREQ(store.GetStringString("path_script", "script/"), "script/");
}

TEST_F(StringValueTest, StringFileSplitsAtTheFirstSeparatorAndStopsAtALineWithoutOne) {
  cStringValue store;
  store.LoadStringA(File("str.ini", "ip = 127.0.0.1\r\nexpr = a = b\n\nlater = lost\n").c_str());
  EXPECT_STREQ(store.GetStringString("ip", ""), "127.0.0.1");
  EXPECT_STREQ(store.GetStringString("expr", ""), "a = b");
  EXPECT_STREQ(store.GetStringString("later", "default"), "default");

  cStringValue second;
  second.LoadStringA(File("str2.ini", "first = 1\n\nsecond = 2\n").c_str());
  EXPECT_EQ(second.GetStrings().size(), 1u);
}

TEST_F(StringValueTest, DefaultsAreStoredAndSavedAsNameEqualsValueLines) {
  cStringValue store;
  EXPECT_EQ(store.GetStringValue("x", 5), 5);
  EXPECT_EQ(store.GetStringValue("x", 9), 5);
  std::string file = dir_ + "/out_int.ini";
  ASSERT_TRUE(store.SaveValue(file.c_str()));
  EXPECT_EQ(ReadFile(file), "x = 5\n");

  store.SetStringString("name", "two words = here");
  std::string strFile = dir_ + "/out_str.ini";
  ASSERT_TRUE(store.SaveString(strFile.c_str()));
  cStringValue back;
  back.Load(file.c_str(), strFile.c_str());
  EXPECT_EQ(back.GetValues(), store.GetValues());
  EXPECT_EQ(back.GetStrings(), store.GetStrings());
}

TEST_F(StringValueTest, SavingReplacesTheFileWholeAndLeavesNoTemporary) {
  std::string file = File("int.ini", "old = 1\nstale = 2\nmore = 3\n");
  cStringValue store;
  store.SetStringValue("new", 4);
  ASSERT_TRUE(store.SaveValue(file.c_str()));
  EXPECT_EQ(ReadFile(file), "new = 4\n");
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST_F(StringValueTest, SavingIntoAMissingFolderFailsWithAMessage) {
  cStringValue store;
  store.SetStringValue("x", 1);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(store.SaveValue((dir_ + "/no/such/int.ini").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SaveHashMap error can not open file! \n");
  EXPECT_FALSE(fs::exists(dir_ + "/no"));
}

TEST_F(StringValueTest, TheSaveFlagWritesBothTablesOnDestruction) {
  std::string intFile = dir_ + "/int.ini";
  std::string strFile = dir_ + "/str.ini";
  {
    cStringValue store;
    store.Load(intFile.c_str(), strFile.c_str());
    store.SetStringValue("n", 1);
    store.SetStringString("s", "t");
  }
  EXPECT_FALSE(fs::exists(intFile));
  {
    cStringValue store;
    store.Load(intFile.c_str(), strFile.c_str());
    store.SetSave(true);
    store.SetStringValue("n", 1);
    store.SetStringString("s", "t");
  }
  EXPECT_EQ(ReadFile(intFile), "n = 1\n");
  EXPECT_EQ(ReadFile(strFile), "s = t\n");
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

TEST_F(StringValueTest, StreamFormRoundTripsAndStartsWithTheIntegers) {
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
}

TEST_F(StringValueTest, StreamOverflowThrowsAndLeavesTheStoreUnchanged) {
  cStringValue store;
  store.SetStringValue("keep", 1);
  std::istringstream count("102401\n");
  EXPECT_THROW(count & store, exception_steam_readoverflow_container);
  std::istringstream length("1\n4 port 1 \n1\n102401 x");
  EXPECT_THROW(length & store, exception_steam_readoverflow_string);
  EXPECT_EQ(store.GetValues(), (cStringValue::IntTable{{"keep", 1}}));
}

}  // namespace
