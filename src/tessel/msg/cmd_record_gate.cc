#include "tessel/msg/cmd_record_gate.h"

#include <atomic>

namespace {

std::atomic<tCmdRecordGate> g_gate{nullptr};

}  // namespace

void SetCmdRecordGate(tCmdRecordGate gate) {
  g_gate.store(gate);
}

bool PassCmdRecordGate(iSend* link, const stMsg* msg, unsigned long size) {
  const tCmdRecordGate gate = g_gate.load();
  if (gate == nullptr || msg == nullptr || msg->type != stMsg_Cmd::s_nType) return true;
  const cCmdRecordView view(msg, size);
  return gate(link, view.Group(), view.Text());
}
