// Reads a command text that is a single call with literal arguments, exactly as Lua 5.1 would
// read it, without running anything: a program that must not run what a peer sends (the
// operator's console client) reads the answers it expects with it and drops every other text.
// Pure: any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One argument: a string (its value, escapes and long brackets read as Lua reads them) or a
// number.
struct stLiteral {
  bool isNumber = false;
  std::string text;   // a string's value; a number as written
  double number = 0;  // a number's value
};

struct stLiteralCall {
  std::string name;
  std::vector<stLiteral> args;
};

// True when `text` is: blanks, a name (not a reserved word), blanks on the same line, '(', zero or
// more literals separated by commas, ')', an optional ';', and at the end only blanks and at most
// one route hop mark (the comment "--hops=N" that relays append). A literal is a quoted string on
// one line, a long-bracket string or a decimal number with an optional '-'. Anything else, and any
// text Lua would refuse, gives false; `call` is filled only on true.
bool ParseLiteralCall(std::string_view text, stLiteralCall& call);
