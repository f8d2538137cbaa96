#include "tessel/core/cmd_array.h"

#include <gtest/gtest.h>

#include <fstream>
#include <lua.hpp>
#include <string>
#include <vector>

#include "tessel/core/log_file.h"
#include "testkit/console_test_util.h"

namespace {

std::string g_output;
void CaptureOutput(const char* text) {
  g_output += text;
}

TEST(CmdArray, AddingAtALevelLeavesLowerSlotsEmpty) {
  cCmdArray array;
  cNamedCmd group("cCmd_Five");
  array.AddCmd(5, &group);
  EXPECT_EQ(array.GetCmdCount(), 6u);
  for (unsigned level = 0; level < 5; ++level) EXPECT_EQ(array.GetCmd(level), nullptr);
  EXPECT_EQ(array.GetCmd(99), nullptr);
  EXPECT_EQ(array.GetDefaultCmd(), &group);
  EXPECT_EQ(array.FindCmd(&group), 5);
  EXPECT_NE(group.GetLua(), nullptr);
}

TEST(CmdArray, NextAndPrevWrapAroundAndNeverReturnTheCurrentGroup) {
  cCmdArray array;
  cNamedCmd zero("cCmd_Zero"), three("cCmd_Three"), seven("cCmd_Seven"), stranger("cCmd_X");
  array.AddCmd(0, &zero);
  array.AddCmd(3, &three);
  array.AddCmd(7, &seven);
  EXPECT_EQ(array.NextCmd(&seven), &zero);
  EXPECT_EQ(array.NextCmd(&zero), &three);
  EXPECT_EQ(array.PrevCmd(&zero), &seven);
  EXPECT_EQ(array.PrevCmd(&three), &zero);
  EXPECT_EQ(array.NextCmd(nullptr), &zero);
  EXPECT_EQ(array.PrevCmd(&stranger), &zero);

  cCmdArray single;
  single.AddCmd(2, &stranger);
  EXPECT_EQ(single.NextCmd(&stranger), nullptr);
  EXPECT_EQ(single.PrevCmd(&stranger), nullptr);
}

TEST(CmdArray, FindByNameGivesTheLowestLevelMatch) {
  cCmdArray array;
  cNamedCmd script("cCmd_Script"), account("cCmd_Account"), again("cCmd_Account");
  array.AddCmd(1, &account);
  array.AddCmd(0, &script);
  array.AddCmd(4, &again);
  EXPECT_EQ(array.FindCmd("Acc"), &account);
  EXPECT_EQ(array.FindCmd("cCmd_Account"), nullptr);
  EXPECT_EQ(array.FindCmd("Nothing"), nullptr);
}

TEST(CmdArray, OutputIsBoundToTheGivenFunctionOrTheDefault) {
  cCmdArray array;
  cNamedCmd own("cCmd_Own"), plain("cCmd_Plain"), none("cCmd_None");
  array.AddCmdOutput(0, &own, &CaptureOutput);
  array.AddCmdOutput(1, &plain, nullptr);
  array.AddCmdOutputF(2, &none, nullptr);
  g_output.clear();
  CoutCapture out;
  EXPECT_TRUE(own.Do("Output('a]]b')"));
  EXPECT_TRUE(plain.Do("Output('two')"));
  EXPECT_FALSE(none.Do("Output('three')"));
  EXPECT_EQ(g_output, "a]]b");
  EXPECT_NE(out.Text().find("Output() two\n"), std::string::npos);
}

TEST(CmdArray, RegisterOutputOnAnEmptyLevelRegistersNothingAndSaysWhy) {
  cCmdArray array;
  cNamedCmd group("cCmd_One");
  array.AddCmd(1, &group);
  CoutCapture out;
  array.RegisterOutput(0, "Say", &CaptureOutput);
  array.RegisterOutput(9, "Say", &CaptureOutput);
  EXPECT_EQ(out.Text(), std::string("error! RegisterOutput not find cmd!\n"
                                    "这是因为你添加cmd的位置不对，应该在tessel.Start之后\n") +
                            "error! RegisterOutput not find cmd!\n"
                            "这是因为你添加cmd的位置不对，应该在tessel.Start之后\n");
  array.RegisterOutput(1, "Say", &CaptureOutput);
  g_output.clear();
  EXPECT_TRUE(group.Do("Say('hi')"));
  EXPECT_EQ(g_output, "hi");
}

TEST(CmdArray, TraceListsTheFilledSlotsOrSaysThereAreNone) {
  cCmdArray empty;
  std::ostringstream none;
  empty.TraceCmds(none);
  EXPECT_EQ(none.str(), "not find a cmd \n");

  cCmdArray array;
  cNamedCmd group("cCmd_Two");
  std::ostringstream lines;
  array.AddCmd(2, &group);
  array.TraceCmds(lines);
  EXPECT_EQ(lines.str(), "id 2 name cCmd_Two\n");
  std::ostringstream names;
  array.ReportCmdName(names);
  EXPECT_EQ(names.str(), "cCmd_Two\t\n");
}

TEST(CmdArray, RunCmdRunsOnlyInAFilledSlot) {
  cCmdArray array;
  cNamedCmd group("cCmd_One");
  array.AddCmdOutput(1, &group, &CaptureOutput);
  g_output.clear();
  array.RunCmd(1, "Output('ran')");
  array.RunCmd(0, "Output('no')");
  array.RunCmd(50, "Output('no')");
  EXPECT_EQ(g_output, "ran");
  EXPECT_EQ(group.GetRunCount(), 1);
}

std::string ReadOnlyFileIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry);
  if (files.size() != 1) return "files: " + std::to_string(files.size());
  std::ifstream in(files[0]);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CmdArray, ReportLogNamesTheGroupsThenTheirCounts) {
  TempWorkDir dir;
  cCmdArray array;
  cNamedCmd first("cCmd_First"), second("cCmd_Second");
  array.AddCmd(0, &first);
  array.AddCmd(3, &second);
  array.CreateLog("log/probe_cmd_array");
  array.ReportLog();
  array.EndLog();
  const std::string text = ReadOnlyFileIn("log/probe_cmd_array");
  EXPECT_NE(text.find("\tcCmd_First\tcCmd_Second\t\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\tdo: 0 cost: 0 mem("), std::string::npos) << text;
  EXPECT_EQ(array.GetCmdArrayLog()->GetFileName().rfind("log/probe_cmd_array/", 0), 0u);
}

}  // namespace
