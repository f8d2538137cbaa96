// The texts of routed commands: the SendPathCmd and FindPathOnRoute calls that travel hop by hop
// in command group 7, the route templates kept per destination, and their filling. Pure
// functions: any thread may call.
//
// Encoding of a route (how the name list and the way back are written):
// - A SendPathCmd call reads SendPathCmd('n1',...,'nK','param',group,[=[text]=]). The names are
//   the processes in the order the command travels: n1 the origin, nK the destination, each
//   relay once in between. A relay that has to add itself (it was not named) puts its name right
//   behind the name of the process it received the call from, so the list stays in the order of
//   travel.
// - The way back from the destination is the same list reversed, from the destination back to
//   the origin, with the call's parameter filled in; answers are sent along it with their group
//   and text.
// - A template is a call with placeholders: %1% the group, %2% the text, %3% the parameter.
// - Names and parameters are written between single quotes with every quote, backslash, control
//   byte and '%' escaped, so no value can end its quote or be taken for a placeholder. The text
//   goes into the lowest long bracket level that does not occur in it.
// - A relayed call ends with the Lua comment " --hops=N", the number of relays it has passed.
//   Lua ignores it; a process drops a call that has passed kMaxRouteHops relays, so a route
//   whose hops send it round in a circle ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A call is dropped once it has been relayed this many times.
inline constexpr int kMaxRouteHops = 32;
// The command group that routes commands.
inline constexpr int kRouteGroup = 7;

// A SendPathCmd call taken apart.
struct stPathCall {
  std::vector<std::string> names;  // origin first, destination last
  std::string param;
  int group = 0;
  std::string text;
};

// `value` escaped for a single-quoted Lua string of a route (quotes not included).
std::string RouteEscape(std::string_view value);
// `value` as a quoted Lua string of a route.
std::string RouteQuote(std::string_view value);

// The call text, with the hop mark when hops > 0.
std::string MakePathCall(const stPathCall& call, int hops);
// `call` with the hop mark when hops > 0.
std::string WithHopMark(std::string call, int hops);
std::string MakeFindCall(const std::vector<std::string>& names, int hops);

// The template of a route along `names` ("%3%" as the parameter).
std::string MakeRouteTemplate(const std::vector<std::string>& names);
// The way back of a call that reached its destination: the names reversed, the parameter kept.
std::string MakeReturnPath(const stPathCall& call);

// Fills a template: %1% with the group, %2% (with the long brackets around it, if any) with the
// text as a long-bracket string, %3% with the escaped parameter, %% with '%'.
std::string FillRoute(std::string_view route, int group, std::string_view text,
                      std::string_view param);

// The template stored for a route text: the text when it holds "%3%"; else the text with "%3%"
// in front of its last quote; nothing when it has no quote.
std::optional<std::string> RouteForStore(std::string_view route);

// The quoted names at the start of a template or call, parameter excluded (a template's last
// quoted value is its parameter); empty when the text does not start with SendPathCmd(.
std::vector<std::string> RouteNames(std::string_view route);

// The hop count of the hop mark at the end of `chunk`; 0 without one.
int ReadHopMark(std::string_view chunk);
