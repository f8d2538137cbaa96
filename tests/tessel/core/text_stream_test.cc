#include "tessel/core/text_stream.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string Written(const auto& value) {
  std::ostringstream os;
  os& value;
  return os.str();
}

TEST(TextStreamTest, WritesIntegersStringsAndListsInTheTextForm) {
  EXPECT_EQ(Written(-42), "-42 ");
  EXPECT_EQ(Written(std::string()), "0 ");
  EXPECT_EQ(Written(std::string("abc")), "3 abc ");
  EXPECT_EQ(Written(std::string("a b\n")), "4 a b\n ");
  std::list<std::pair<std::string, int>> ints{{"port", 7000}, {"", 1}};
  EXPECT_EQ(Written(ints), "2\n4 port 7000 0 1 \n");
}

TEST(TextStreamTest, ReadsBackWhatItWrites) {
  std::list<std::pair<std::string, std::string>> strs{
      {"name", "two words"}, {"empty", ""}, {"", "x"}, {"nl", "a\nb = c"}};
  std::ostringstream os;
  os& std::int64_t{-9000000000} & std::string("tail") & strs & 7u;

  std::istringstream in(os.str());
  std::int64_t big = 0;
  std::string tail;
  std::list<std::pair<std::string, std::string>> back{{"stale", "entry"}};
  unsigned last = 0;
  in& big& tail& back& last;
  ASSERT_TRUE(in);
  EXPECT_EQ(big, -9000000000);
  EXPECT_EQ(tail, "tail");
  EXPECT_EQ(back, strs);
  EXPECT_EQ(last, 7u);
}

TEST(TextStreamTest, AStringLengthAboveTheLimitThrowsWithTheLength) {
  std::istringstream limit("102400 " + std::string(102400, 'x'));
  std::string s;
  EXPECT_NO_THROW(limit & s);
  EXPECT_EQ(s.size(), 102400u);

  std::istringstream over("102401 abc");
  try {
    over& s;
    FAIL() << "no exception";
  } catch (const exception_steam_readoverflow_string& e) {
    EXPECT_EQ(e.m_size, 102401u);
    EXPECT_STREQ(e.what(), "exception_steam_readoverflow_string");
  }
}

TEST(TextStreamTest, AStringIsReadWholeOrFailsTheStreamAndStaysEmpty) {
  const std::pair<const char*, const char*> cases[] = {
      {"0 ", ""}, {"3 abc", "abc"}, {"5 ab", nullptr}, {"5 ", nullptr}, {"5", nullptr}};
  for (const auto& [text, read] : cases) {
    std::istringstream in(text);
    std::string s = "old";
    in& s;
    EXPECT_EQ(in.fail(), read == nullptr) << text;
    EXPECT_EQ(s, read ? read : "") << text;
  }
}

TEST(TextStreamTest, ACountThatIsNotANumberOrTooLargeThrowsTheContainerOverflow) {
  std::list<std::pair<std::string, int>> items{{"keep", 1}};
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::uint32_t>>{
           {"abc", 102401}, {"", 102401}, {"102401\n", 102401}}) {
    std::istringstream in(text);
    try {
      in& items;
      FAIL() << "no exception for '" << text << "'";
    } catch (const exception_steam_readoverflow_container& e) {
      EXPECT_EQ(e.m_size, expected);
      EXPECT_STREQ(e.what(), "exception_steam_readoverflow_container");
    }
  }
  // The overflow exceptions share one base that carries the refused size.
  std::istringstream in("200000\n");
  EXPECT_THROW(in & items, exception_steam_readoverflow);
}

TEST(TextStreamTest, AListCutShortKeepsOnlyItsWholeElements) {
  std::istringstream in("3\n1 a 1 1 b 2 1 c ");
  std::list<std::pair<std::string, int>> items{{"stale", 0}};
  in& items;
  EXPECT_TRUE(in.fail());
  std::list<std::pair<std::string, int>> expected{{"a", 1}, {"b", 2}};
  EXPECT_EQ(items, expected);
}

}  // namespace
