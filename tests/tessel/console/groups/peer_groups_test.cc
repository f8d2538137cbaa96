// The standard groups as links meet them: every group lists the functions the system registered
// in it; what a link defines stays its own, also when it defers code that runs commands later.
#include <map>

#include "cmd_group_util.h"

namespace {

constexpr auto npos = std::string::npos;

// Functions() lists what each group registered, lower-case names and groups without help
// included, and none of Lua's builtins.
TEST_F(GroupTest, FunctionsListsEveryRegisteredFunctionOfEveryGroupAndNoBuiltin) {
  const std::map<unsigned, std::vector<const char*>> some = {
      {2, {"Login", "Logout", "Mark", "Output"}},
      {4, {"dos", "copy", "writefileindex", "Ver"}},
      {8, {"SafeCall"}},
      {11, {"StartYield", "ParseCmd", "add_appender_cout", "SetConfigValue"}},
      {14, {"add_appender_cout", "add_appender_file", "flush_log_cache", "Help"}},
  };
  for (const stStandardGroup& group : StandardGroups()) {
    SCOPED_TRACE(group.cmd->GetName());
    const std::string listed = " " + RunInGroup(*group.cmd, "Functions()").out;
    EXPECT_NE(listed.find(" Functions "), npos) << listed;
    for (const char* builtin : {"print", "pairs", "loadstring", "setfenv", "string", "_G"})
      EXPECT_EQ(listed.find(std::string(" ") + builtin + " "), npos) << builtin;
    if (some.count(group.level) == 0) continue;
    for (const char* name : some.at(group.level))
      EXPECT_NE(listed.find(std::string(" ") + name + " "), npos) << name;
  }
}

}  // namespace
