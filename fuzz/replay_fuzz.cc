// The replay file reader on arbitrary files: every record it hands out lies inside the file,
// and a file ends the replay (no record is pending forever).
#include "fuzz_kit.h"
#include "tessel/contracts/netlib.h"
#include "tessel/replay/net_replay.h"
#include "tessel/replay/replay_file.h"

namespace {

// The replay clock: still while the file loads, then far ahead, so every record is due.
bool s_late = false;
uint32_t Clock() {
  return s_late ? 0x7fffffffu : 0u;
}

struct cCount : iCallbackNet {
  uint64_t bytes = 0;
  int OnMessage(int kind, const void*, unsigned long size, iSend*) override {
    FUZZ_CHECK(IsReplayKind(uint32_t(kind)), std::to_string(kind), "");
    bytes += kReplayRecordHeadSize + size;
    return 1;  // taken: a refused record would stay pending
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzzkit::Home().write("replay.bin", "");
  static cNetReplay replay(nullptr, nullptr, &Clock);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzzkit::Home().write("replay.bin", bytes);
  cCount count;
  replay.SetCallback(&count);
  s_late = false;
  if (!replay.LoadReplay(path.c_str())) return 0;
  s_late = true;
  for (size_t steps = 0;; ++steps) {
    const cNetReplay::StepResult step = replay.Step();
    if (step == cNetReplay::Step_End) break;
    FUZZ_CHECK(step == cNetReplay::Step_Delivered && steps <= size, bytes, "");
  }
  FUZZ_CHECK(kReplayHeaderSize + count.bytes <= size, bytes, std::to_string(count.bytes));
  return 0;
}
