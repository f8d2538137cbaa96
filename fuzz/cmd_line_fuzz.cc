// Console lines, one per input line, parsed by a real console whose groups only record: group
// and array switches ("//type//", "/name/", "/N/"), short navigation lines and the "?" forms.
// The cursor carries over from line to line; a statement runs in a group with nothing but its
// recording function.
#include <sstream>

#include "fuzz_kit.h"
#include "tessel/console/clipboard.h"
#include "tessel/console/cmd_line.h"
#include "tessel/console/tessel_cmd.h"
#include "testkit/quiet_bridge.h"
#include "testkit/record_cmd.h"
#include "testkit/test_host.h"

namespace {

// The console: own groups at levels 0, 1, 3 and 16; an endpoint "gate" with groups at 2 and 5;
// an endpoint "global" whose next array holds a group at 3.
struct stConsole {
  stConsole() {
    fuzzkit::Home();
    SetClipboardReader([] { return stClipboard{true, true, "Mark(1)"}; });
    const std::pair<cCmdArray*, unsigned> places[] = {{&console, 0},  {&console, 1}, {&console, 3},
                                                      {&console, 16}, {&gate, 2},    {&gate, 5},
                                                      {&next, 3}};
    int n = 0;
    for (const auto& [array, level] : places) {
      groups.push_back(
          std::make_unique<cRecordCmd>("cCmd_Fuzz" + std::to_string(n++), std::vector{mark}));
      array->AddCmd(level, groups.back().get());
      fuzzkit::Confine(groups.back()->GetLua(), {"Mark"});
    }
    gate.CreateBridge("gate", nullptr);
    global.CreateBridge("global", nullptr);
    global.BindNext(&next);
    global.SetNext(true);
    host.bridges = {{"gate", &gate}, {"global", &global}};
    console.Start();
  }
  std::string mark = "Mark";
  std::vector<std::unique_ptr<cRecordCmd>> groups;
  testkit::cQuietBridge gate, global;
  cCmdArray next;
  cTesselCmd console;
  cTestHost host;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static stConsole* s = new stConsole;
  std::ostringstream out;
  s->console.ShiftCmds("", 0, true, out);
  std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
  for (std::string line; std::getline(lines, line);) {
    SplitCmdLine(line);
    s->console.ParseCmd(line.c_str(), out);
    s->console.ParseCmdTessel(line.c_str(), out);
  }
  for (const auto& group : s->groups) fuzzkit::Collect(group->GetLua());
  return 0;
}
