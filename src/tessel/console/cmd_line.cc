#include "tessel/console/cmd_line.h"

#include <string_view>

namespace {

// Splits "/name/statement", "/name" or a plain statement into the name and statement parts.
void SplitName(std::string_view rest, stCmdLine& out) {
  if (rest.empty() || rest[0] != '/') {
    out.statement = rest;
    return;
  }
  const std::string_view::size_type end = rest.find('/', 1);
  if (end == std::string_view::npos) {
    out.name = rest.substr(1);
    return;
  }
  out.name = rest.substr(1, end - 1);
  out.statement = rest.substr(end + 1);
}

}  // namespace

stCmdLine SplitCmdLine(const std::string& text) {
  const std::string_view line = text;
  stCmdLine out;
  if (line.substr(0, 2) != "//") {
    SplitName(line, out);
    return out;
  }
  if (line.size() == 2) {
    out.type = "0";
    return out;
  }
  const std::string_view::size_type end = line.find("//", 2);
  if (end == std::string_view::npos) {
    out.type = line.substr(2);
    return out;
  }
  out.type = line.substr(2, end - 2);
  SplitName(line.substr(end + 2), out);
  return out;
}
