#include "loglib/name_pattern.h"

#include <gtest/gtest.h>

namespace loglib {
namespace {

TEST(NamePattern, AnExactNameMatchesOnlyItself) {
  EXPECT_TRUE(name_matches("tessel.info", "tessel.info"));
  EXPECT_FALSE(name_matches("tessel.info", "tessel.info2"));
  EXPECT_FALSE(name_matches("tessel.info", "tessel.inf"));
  EXPECT_FALSE(name_matches("tessel.numerror", "tessel_numerror"));
}

TEST(NamePattern, AStarStandsForAnyRunOfCharactersIncludingNone) {
  EXPECT_TRUE(name_matches("*", "anything"));
  EXPECT_TRUE(name_matches("*", ""));
  EXPECT_TRUE(name_matches("tessel*", "tessel"));
  EXPECT_TRUE(name_matches("tessel*", "tessel.err"));
  EXPECT_TRUE(name_matches("*.err", "tessel.err"));
  EXPECT_TRUE(name_matches("t*.*r", "tessel.timererror"));
  EXPECT_FALSE(name_matches("tessel*", "script.error"));
  EXPECT_FALSE(name_matches("*.err", "tessel.error"));
}

TEST(NamePattern, AMismatchAfterAStarBacktracksToLaterPositions) {
  EXPECT_TRUE(name_matches("*ab", "aab"));
  EXPECT_TRUE(name_matches("a*b*c", "a_b_b_c"));
  EXPECT_FALSE(name_matches("a*b*c", "a_b_b_"));
  EXPECT_TRUE(name_matches("**x", "yyx"));
}

}  // namespace
}  // namespace loglib
