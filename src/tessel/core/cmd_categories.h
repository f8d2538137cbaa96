// The category table: the right every function of the standard command groups needs, the
// standard groups' words and levels, and the configuration values that only @admin may set.
// The one place that says which function belongs to which category. Any thread.
#pragma once

#include <string_view>

#include "tessel/core/cmd_funcs.h"

// The right of `func` in the group named `word` ("Account"); kUnset when the table does not
// know it.
eCmdRight StandardRight(std::string_view word, std::string_view func);
// The level of a standard group's word; -1 for any other.
int StandardLevel(std::string_view word);
// The words of the standard groups, by level (17 of them).
const std::string_view* StandardWords();
inline constexpr int kStandardGroups = 17;
// Whether a function of the standard group at `level` has that name in the table.
bool StandardFunction(int level, std::string_view func);
// The login group: always open, to a stranger too.
bool IsLoginGroup(std::string_view word);
// Configuration values that decide who may do what, and the limits that hold every account's
// commands and links (time and memory of a command's Lua, a shell line's time, the login
// deadline, the flood bounds): setting them needs @admin.
bool IsSecurityConfigKey(std::string_view key);
