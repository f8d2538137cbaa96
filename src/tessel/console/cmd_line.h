// Splits a console line into its three parts: an optional array type ("//type//"), an optional
// group name or level ("/name/") and the statement. Pure function; any thread.
#pragma once

#include <string>

struct stCmdLine {
  std::string type;       // endpoint name, "0" for the console's own array, empty for none
  std::string name;       // group name prefix or level number, empty for none
  std::string statement;  // Lua statement, empty for none
};

// Splits a line of two or more characters. Shorter lines are navigation keys and are not
// split by the console; given one, the result follows the same rules.
stCmdLine SplitCmdLine(const std::string& line);
