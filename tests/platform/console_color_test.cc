#include "platform/console_color.h"

#include <gtest/gtest.h>

#include <iostream>

#include "testkit/scoped_env.h"

namespace platform {
namespace {

TEST(ConsoleColor, AttributesMapToAnsiForegroundAndBackground) {
  const std::pair<int, const char*> cases[] = {{12, "\x1b[0;91;49m"},     // light red
                                               {15, "\x1b[0;97;49m"},     // bright white
                                               {0x1E, "\x1b[0;93;44m"},   // yellow on blue
                                               {0xC2, "\x1b[0;32;101m"},  // green on light red
                                               {0, "\x1b[0;30;49m"}};
  for (const auto& [attribute, sequence] : cases) EXPECT_EQ(AnsiSequence(attribute), sequence);
}

TEST(ConsoleColor, ASectionWritesItsColourAndReturnsToLightCyan) {
  ScopedEnv on("TESSEL_COLOR", "1");
  testing::internal::CaptureStdout();
  {
    ColorSection red(kColorLightRed);
    std::cout << "error";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), AnsiSequence(12) + "error" + AnsiSequence(11));
  EXPECT_EQ(CurrentAttribute(), kColorLightCyan);
}

TEST(ConsoleColor, ColourZeroSettingWritesNoSequencesButKeepsTheAttribute) {
  ScopedEnv off("TESSEL_COLOR", "0");
  testing::internal::CaptureStdout();
  SetColor(0x5E);
  std::cout << "plain";
  EXPECT_EQ(CurrentAttribute(), 0x0E) << "only the foreground nibble of a colour is taken";
  SetColor(kColorLightCyan);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain");
}

}  // namespace
}  // namespace platform
