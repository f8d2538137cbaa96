// Builds Lua source text around arbitrary data, so that a text sent as a command can never end
// its string early and run as code on the receiver. Pure functions: any thread may call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `text` as a Lua long-bracket string literal that Lua reads back as exactly `text` (with line
// ends read as Lua reads them). The form of `minLevel` equals signs ("[[...]]" for 0,
// "[=[...]=]" for 1, ...) is used when it is safe, so that a text the system always sends in one
// form keeps it; otherwise the lowest higher level whose closing bracket does not occur in `text`.
std::string LuaLongBracket(std::string_view text, std::size_t minLevel = 0);

// `text` escaped for use between single quotes in Lua source: backslash, both quotes, line
// ends and every other control byte are written as escapes, so the literal cannot end early.
std::string LuaEscape(std::string_view text);

// `text` as a single-quoted Lua string literal, quotes included.
std::string LuaQuote(std::string_view text);
