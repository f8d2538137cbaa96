#include "loglib/name_pattern.h"

#include <gtest/gtest.h>

namespace loglib {
namespace {

TEST(NamePattern, AStarStandsForAnyRunIncludingNoneAndAMismatchBacktracks) {
  using Pairs = std::vector<std::pair<const char*, const char*>>;  // pattern, name
  const Pairs matching = {{"tessel.info", "tessel.info"}, {"*", ""},
                          {"tessel*", "tessel"},          {"*.err", "tessel.err"},
                          {"t*.*r", "tessel.timererror"}, {"*ab", "aab"},
                          {"a*b*c", "a_b_b_c"},           {"**x", "yyx"}};
  const Pairs different = {{"tessel.info", "tessel.info2"},
                           {"tessel.info", "tessel.inf"},
                           {"tessel.numerror", "tessel_numerror"},
                           {"tessel*", "script.error"},
                           {"*.err", "tessel.error"},
                           {"a*b*c", "a_b_b_"}};
  for (const auto& [pattern, name] : matching) EXPECT_TRUE(name_matches(pattern, name)) << pattern;
  for (const auto& [pattern, name] : different) EXPECT_FALSE(name_matches(pattern, name)) << name;
}

}  // namespace
}  // namespace loglib
