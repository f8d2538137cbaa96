#include "tessel/console/cmd_line.h"

#include <gtest/gtest.h>

namespace {

struct SplitRow {
  const char* line;
  const char* type;
  const char* name;
  const char* statement;
};

void ExpectSplit(const SplitRow& row) {
  const stCmdLine parts = SplitCmdLine(row.line);
  EXPECT_EQ(parts.type, row.type) << "line " << row.line;
  EXPECT_EQ(parts.name, row.name) << "line " << row.line;
  EXPECT_EQ(parts.statement, row.statement) << "line " << row.line;
}

TEST(CmdLineSplit, EveryRowOfTheGrammarTableSplitsIntoTypeNameAndStatement) {
  const SplitRow rows[] = {
      {"//", "0", "", ""},
      {"//select", "select", "", ""},
      {"//select//Ver()", "select", "", "Ver()"},
      {"/3", "", "3", ""},
      {"/Account/ShowTop()", "", "Account", "ShowTop()"},
      {"//global///2/Ver()", "global", "2", "Ver()"},
      {"////Ver()", "", "", "Ver()"},
      {"a/b", "", "", "a/b"},
  };
  for (const SplitRow& row : rows) ExpectSplit(row);
}

TEST(CmdLineSplit, StatementsKeepTheirSlashesAndQuotes) {
  ExpectSplit({"/3/Echo('a/b//c')", "", "3", "Echo('a/b//c')"});
  ExpectSplit({"//gate//Run('x//y')", "gate", "", "Run('x//y')"});
  ExpectSplit({"Ver() // trailing", "", "", "Ver() // trailing"});
}

TEST(CmdLineSplit, EmptyPartsBetweenSeparatorsStayEmpty) {
  ExpectSplit({"//select//", "select", "", ""});
  ExpectSplit({"//a///b", "a", "b", ""});
  ExpectSplit({"//a////Ver()", "a", "", "Ver()"});
  ExpectSplit({"/3/", "", "3", ""});
  ExpectSplit({"//", "0", "", ""});
  ExpectSplit({"///x", "/x", "", ""});
}

}  // namespace
