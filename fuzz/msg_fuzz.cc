// Received records of every registered type, with arbitrary bodies and sizes, through the
// registry of a real endpoint into their bindings. The record lives in a buffer of exactly its
// size, so a binding that reads past it stops the run. Commands reach a recording group.
#include <memory>

#include "fuzz_kit.h"
#include "tessel/msg/msg_registry.h"
#include "testkit/bridge_double.h"
#include "testkit/quiet_bridge.h"
#include "testkit/record_cmd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static cRecordCmd* group = nullptr;
  static cMsg* registry = [] {
    fuzzkit::Home();
    auto* bridge = new testkit::cQuietBridge;
    group = new cRecordCmd("cCmd_FuzzRecord", {"Mark"});
    bridge->AddCmd(1, group);
    fuzzkit::Confine(group->GetLua(), {"Mark"});
    auto* msg = new cMsg;
    msg->Init(bridge);
    bridge->CreateBridge("fuzz", msg);
    return msg;
  }();
  static testkit::cRecordingLink link;

  FuzzedDataProvider input(data, size);
  const int types = registry->GetNextType() - cMsg::kFirstType + 1;
  const auto type = uint16_t(cMsg::kFirstType + input.ConsumeIntegralInRange(0, types - 1));
  const uint16_t id = input.ConsumeBool() ? input.ConsumeIntegral<uint16_t>() : 0;
  const std::string body = input.ConsumeRemainingBytesAsString();
  const size_t bytes = sizeof(stMsg) + body.size();
  std::unique_ptr<char[]> record(new char[bytes]);
  std::memcpy(record.get(), &type, 2);
  std::memcpy(record.get() + 2, &id, 2);
  std::memcpy(record.get() + 4, body.data(), body.size());
  stBindMsg bind{uint32_t(bytes), &link, reinterpret_cast<stMsg*>(record.get()),
                 stBindMsg::kPeerRecord};
  registry->HandleMsg(&bind);
  link.m_sent.clear();
  fuzzkit::Collect(group->GetLua());
  return 0;
}
