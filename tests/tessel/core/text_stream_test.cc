#include "tessel/core/text_stream.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string Written(const auto& value) {
  std::ostringstream os;
  os& value;
  return os.str();
}

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

TEST(TextStreamTest, WritesIntegersStringsAndListsInTheTextFormAndReadsThemBack) {
  EXPECT_EQ(Written(-42), "-42 ");
  EXPECT_EQ(Written(std::string()), "0 ");
  EXPECT_EQ(Written(std::string("a b\n")), "4 a b\n ");
  std::list<std::pair<std::string, int>> ints{{"port", 7000}, {"", 1}};
  EXPECT_EQ(Written(ints), "2\n4 port 7000 0 1 \n");

  std::list<std::pair<std::string, std::string>> strs{
      {"name", "two words"}, {"empty", ""}, {"", "x"}, {"nl", "a\nb = c"}};
  std::ostringstream os;
  os& std::int64_t{-9000000000} & strs & 7u;
  std::istringstream in(os.str());
  std::int64_t big = 0;
  std::list<std::pair<std::string, std::string>> back{{"stale", "entry"}};
  unsigned last = 0;
  in& big& back& last;
  ASSERT_TRUE(in);
  EXPECT_EQ(big, -9000000000);
  EXPECT_EQ(back, strs);
  EXPECT_EQ(last, 7u);
}

// A string is read whole or fails the stream and stays empty; a list cut short keeps only its
// whole elements.
TEST(TextStreamTest, ShortInputFailsTheStreamAndKeepsOnlyWholeValues) {
  const std::pair<const char*, const char*> cases[] = {
      {"0 ", ""}, {"3 abc", "abc"}, {"5 ab", nullptr}, {"5 ", nullptr}, {"5", nullptr}};
  for (const auto& [text, read] : cases) {
    std::istringstream in(text);
    std::string s = "old";
    in& s;
    EXPECT_EQ(in.fail(), read == nullptr) << text;
    EXPECT_EQ(s, read ? read : "") << text;
  }
  std::istringstream in("3\n1 a 1 1 b 2 1 c ");
  std::list<std::pair<std::string, int>> items{{"stale", 0}};
  in& items;
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(items, (std::list<std::pair<std::string, int>>{{"a", 1}, {"b", 2}}));
}

// Lengths and counts over 102400 (or a count that is no number) throw before anything is
// allocated, carrying the refused size.
TEST(TextStreamTest, LengthsAndCountsOverTheLimitThrowWithTheirSize) {
  std::string s;
  EXPECT_EQ(
      OverflowSize<exception_steam_readoverflow_string>("102400 " + std::string(102400, 'x'), s),
      0u);
  EXPECT_EQ(s.size(), 102400u);
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow_string>("102401 abc", s), 102401u);
  std::list<std::pair<std::string, int>> items;
  for (const char* text : {"abc", "", "102401\n"})
    EXPECT_EQ(OverflowSize<exception_steam_readoverflow_container>(text, items), 102401u) << text;
  EXPECT_EQ(OverflowSize<exception_steam_readoverflow>("200000\n", items), 200000u);
}

}  // namespace
