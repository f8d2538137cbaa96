// What a server's command record means to the console client. The client reads only the answers
// it expects, with a literal parser, and runs nothing a server sends: a text that is not one of
// these answers means nothing. Pure: any thread.
#pragma once

#include <string>
#include <string_view>

struct stAnswer {
  enum class eKind { kNone, kOutput, kMarked, kLogined, kRouteFound, kRouteNotFound };
  eKind kind = eKind::kNone;
  int group = 0;         // the group it was sent to; for a routed answer, the group inside
  bool routed = false;   // it came along a route, as a SendPathCmd call
  std::string text;      // Output: its text; Logined: the server's name; routes: the destination
  long long number = 0;  // Marked: the mark; Logined: the result
  std::string route;     // kRouteFound: the way the answer came, which leads to the destination
};

// Reads the text of a command record sent to `group`. `self` is the client's name on routes
// (its account): a routed answer counts only when its last name is `self`, and only its last
// hop is unwrapped. Logined counts only when sent straight, route answers only routed.
stAnswer ReadAnswer(int group, std::string_view text, const std::string& self);

// The first line of an Output text that says the line stopped before its end: the account may
// not run a function ("refused: ro may not run System (needs @shell)") or its Lua raised an
// error ("lua_dostring error cCmd_Hello ..."), or the server left out part of what it wrote
// ("ostreamCmd output cut: ..."), or a command it sent on did not go for the account ("not sent
// to global: the login to global is not answered yet"); without its line end, "" when there is
// none.
std::string LineFailureOf(std::string_view output);
