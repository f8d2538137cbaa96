// The in-order check: every text occurs in `out`, each after the end of the one before.
// Use as EXPECT_TRUE(testkit::InOrder(out, {"a", "b"})); a failure names the first text missing
// and shows the whole output. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testkit {

inline ::testing::AssertionResult InOrder(const std::string& out,
                                          const std::vector<std::string>& texts) {
  std::string::size_type at = 0;
  for (const std::string& text : texts) {
    const auto found = out.find(text, at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "missing or out of order: \"" << text << "\" in\n"
                                           << out;
    at = found + text.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testkit
