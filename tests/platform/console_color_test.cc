#include "platform/console_color.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <iostream>

namespace platform {
namespace {

// Sets TESSEL_COLOR for one test and restores it afterwards.
class ColorSetting {
 public:
  explicit ColorSetting(const char* value) {
    const char* old = ::getenv("TESSEL_COLOR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("TESSEL_COLOR", value, 1);
  }
  ~ColorSetting() {
    if (had_)
      ::setenv("TESSEL_COLOR", old_.c_str(), 1);
    else
      ::unsetenv("TESSEL_COLOR");
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(ConsoleColor, AttributesMapToAnsiForegroundAndBackground) {
  EXPECT_EQ(AnsiSequence(12), "\x1b[0;91;49m");     // light red
  EXPECT_EQ(AnsiSequence(11), "\x1b[0;96;49m");     // light cyan
  EXPECT_EQ(AnsiSequence(10), "\x1b[0;92;49m");     // light green
  EXPECT_EQ(AnsiSequence(15), "\x1b[0;97;49m");     // bright white
  EXPECT_EQ(AnsiSequence(0x1E), "\x1b[0;93;44m");   // yellow on blue
  EXPECT_EQ(AnsiSequence(0xC2), "\x1b[0;32;101m");  // green on light red
  EXPECT_EQ(AnsiSequence(0), "\x1b[0;30;49m");
}

TEST(ConsoleColor, ASectionWritesItsColourAndReturnsToLightCyan) {
  ColorSetting on("1");
  testing::internal::CaptureStdout();
  {
    ColorSection red(kColorLightRed);
    EXPECT_EQ(CurrentAttribute() & 0x0F, kColorLightRed);
    std::cout << "error";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), AnsiSequence(12) + "error" + AnsiSequence(11));
  EXPECT_EQ(CurrentAttribute(), kColorLightCyan);
}

TEST(ConsoleColor, ColourZeroSettingWritesNoSequencesButKeepsTheAttribute) {
  ColorSetting off("0");
  testing::internal::CaptureStdout();
  SetColor(0x5E);
  std::cout << "plain";
  EXPECT_EQ(CurrentAttribute(), 0x0E) << "only the foreground nibble of a colour is taken";
  SetColor(kColorLightCyan);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain");
}

}  // namespace
}  // namespace platform
