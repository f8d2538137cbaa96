#include "tessel_cli/cli_answer.h"

#include <algorithm>

#include <cmath>
#include <vector>

#include "tessel/core/literal_call.h"
#include "tessel/core/route_text.h"

namespace {

constexpr int kLoginGroup = 2;

bool IsString(const stLiteral& literal) {
  return !literal.isNumber;
}

// A number Lua would pass as this integer (a group, a mark, a result).
bool IsInteger(const stLiteral& literal) {
  return literal.isNumber && std::isfinite(literal.number) && std::abs(literal.number) < 9.0e15 &&
         std::floor(literal.number) == literal.number;
}

stAnswer ReadCall(int group, const stLiteralCall& call, bool routed) {
  stAnswer answer;
  answer.group = group;
  answer.routed = routed;
  const std::vector<stLiteral>& args = call.args;
  using eKind = stAnswer::eKind;
  if (call.name == "Output" && args.size() == 1 && IsString(args[0])) {
    answer.kind = eKind::kOutput;
    answer.text = args[0].text;
  } else if (call.name == "Marked" && group == kLoginGroup && args.size() == 1 &&
             IsInteger(args[0])) {
    answer.kind = eKind::kMarked;
    answer.number = static_cast<long long>(args[0].number);
  } else if (call.name == "Logined" && group == kLoginGroup && !routed && args.size() == 2 &&
             IsInteger(args[0]) && IsString(args[1])) {
    answer.kind = eKind::kLogined;
    answer.number = static_cast<long long>(args[0].number);
    answer.text = args[1].text;
  }
  return answer;
}

// SendPathCmd('n1',...,'self','param',group,[=[text]=]): the names and the parameter, when the
// call has that shape and ends at `self`.
bool ReadPath(const stLiteralCall& call, const std::string& self, stPathCall& path) {
  const std::vector<stLiteral>& args = call.args;
  if (call.name != "SendPathCmd" || args.size() < 5) return false;
  const size_t names = args.size() - 3;
  for (size_t i = 0; i <= names; ++i)
    if (!IsString(args[i])) return false;
  if (!IsInteger(args[names + 1]) || !IsString(args.back())) return false;
  if (args[names - 1].text != self) return false;
  for (size_t i = 0; i < names; ++i) path.names.push_back(args[i].text);
  path.param = args[names].text;
  path.group = static_cast<int>(args[names + 1].number);
  path.text = args.back().text;
  return true;
}

}  // namespace

stAnswer ReadAnswer(int group, std::string_view text, const std::string& self) {
  stLiteralCall call;
  if (!ParseLiteralCall(text, call)) return {};
  stPathCall path;
  if (group != kRouteGroup || !ReadPath(call, self, path)) return ReadCall(group, call, false);
  stLiteralCall inner;
  if (!ParseLiteralCall(path.text, inner)) return {};
  const std::vector<stLiteral>& args = inner.args;
  if (inner.name == "FindedPathOnRoute" && path.group == kRouteGroup && args.size() == 2 &&
      IsString(args[0]) && IsInteger(args[1])) {
    stAnswer answer;
    answer.group = path.group;
    answer.routed = true;
    answer.kind =
        args[1].number != 0 ? stAnswer::eKind::kRouteFound : stAnswer::eKind::kRouteNotFound;
    answer.text = args[0].text;
    answer.route = MakeReturnPath(path);
    return answer;
  }
  return ReadCall(path.group, inner, true);
}

std::string LineFailureOf(std::string_view output) {
  // "not sent to NAME: ..." is a command the line sent on that did not go for the account.
  constexpr std::string_view kMarks[] = {"refused: ", "lua_dostring error ",
                                         "ostreamCmd output cut: ", "not sent to "};
  for (size_t at = 0; at < output.size();) {
    const size_t end = std::min(output.find('\n', at), output.size());
    for (std::string_view mark : kMarks)
      if (output.substr(at, mark.size()) == mark) return std::string(output.substr(at, end - at));
    at = end + 1;
  }
  return "";
}
