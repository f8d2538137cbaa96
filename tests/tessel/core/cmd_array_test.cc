#include "tessel/core/cmd_array.h"

#include <gtest/gtest.h>

#include <string>
#include "testkit/console_test_util.h"
#include "testkit/stdout_capture.h"

namespace {

std::string g_output;
void CaptureOutput(const char* text) {
  g_output += text;
}

// Slots below a group stay empty; Next and Prev wrap around the filled ones and never give the
// current group back; a name finds the lowest level whose group name starts with it.
TEST(CmdArray, SlotsWrapAroundTheFilledLevelsAndANameFindsTheLowestMatch) {
  cCmdArray array;
  cNamedCmd zero("cCmd_Script"), three("cCmd_Account"), seven("cCmd_Account"), stranger("cCmd_X");
  array.AddCmd(7, &seven);
  array.AddCmd(3, &three);
  array.AddCmd(0, &zero);
  EXPECT_EQ(array.GetCmdCount(), 8u);
  EXPECT_EQ(array.GetCmd(1), nullptr);
  EXPECT_EQ(array.GetCmd(99), nullptr);
  EXPECT_EQ(array.FindCmd(&three), 3);
  EXPECT_EQ(array.NextCmd(&seven), &zero);
  EXPECT_EQ(array.NextCmd(&zero), &three);
  EXPECT_EQ(array.PrevCmd(&zero), &seven);
  EXPECT_EQ(array.PrevCmd(&stranger), &zero);
  EXPECT_EQ(array.FindCmd("Acc"), &three);
  EXPECT_EQ(array.FindCmd("cCmd_Account"), nullptr);
  cCmdArray single;
  single.AddCmd(2, &stranger);
  EXPECT_EQ(single.GetDefaultCmd(), &stranger);
  EXPECT_EQ(single.NextCmd(&stranger), nullptr);
}

// Output of a group goes to its own function, or to standard output; a text with closing long
// brackets arrives whole. Output registered on an empty level registers nothing.
TEST(CmdArray, OutputIsBoundToTheGivenFunctionOrTheDefault) {
  cCmdArray array;
  cNamedCmd own("cCmd_Own"), plain("cCmd_Plain"), none("cCmd_None");
  array.AddCmdOutput(0, &own, &CaptureOutput);
  array.AddCmdOutput(1, &plain, nullptr);
  array.AddCmdOutputF(2, &none, nullptr);
  array.RegisterOutput(1, "Say", &CaptureOutput);
  g_output.clear();
  testkit::cStdoutCapture out;
  array.RegisterOutput(5, "Say", &CaptureOutput);
  EXPECT_TRUE(own.Do("Output('a]]b')"));
  EXPECT_TRUE(plain.Do("Output('two') Say('three')"));
  EXPECT_FALSE(none.Do("Output('four')"));
  array.RunCmd(0, "Output('ran')");
  array.RunCmd(50, "Output('no')");
  EXPECT_EQ(g_output, "a]]bthreeran");
  EXPECT_NE(out.Text().find("Output() two\n"), std::string::npos);
}

}  // namespace
