#include "tessel/console/cmd_line.h"

#include <gtest/gtest.h>

namespace {

// Every row of the console line grammar: the type ("//type"), the group name or level ("/name")
// and the statement; statements keep their own slashes and quotes, and empty parts stay empty.
TEST(CmdLineSplit, EveryRowSplitsIntoTypeNameAndStatement) {
  const struct {
    const char *line, *type, *name, *statement;
  } rows[] = {
      {"//", "0", "", ""},
      {"//select", "select", "", ""},
      {"//select//Ver()", "select", "", "Ver()"},
      {"/3", "", "3", ""},
      {"/Account/ShowTop()", "", "Account", "ShowTop()"},
      {"//global///2/Ver()", "global", "2", "Ver()"},
      {"////Ver()", "", "", "Ver()"},
      {"a/b", "", "", "a/b"},
      {"/3/Echo('a/b//c')", "", "3", "Echo('a/b//c')"},
      {"//gate//Run('x//y')", "gate", "", "Run('x//y')"},
      {"Ver() // trailing", "", "", "Ver() // trailing"},
      {"//select//", "select", "", ""},
      {"//a///b", "a", "b", ""},
      {"//a////Ver()", "a", "", "Ver()"},
      {"/3/", "", "3", ""},
      {"///x", "/x", "", ""},
  };
  for (const auto& row : rows) {
    const stCmdLine parts = SplitCmdLine(row.line);
    EXPECT_EQ(parts.type, row.type) << row.line;
    EXPECT_EQ(parts.name, row.name) << row.line;
    EXPECT_EQ(parts.statement, row.statement) << row.line;
  }
}

}  // namespace
