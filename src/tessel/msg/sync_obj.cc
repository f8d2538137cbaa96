#include "tessel/msg/sync_obj.h"

#include <algorithm>

#include "tessel/contracts/netlib.h"
#include "tessel/core/trace.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/cmd_record_gate.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

// The link is released once, by whichever copy of the object lets go of it last.
std::shared_ptr<iSend> HoldLink(iSend* send) {
  if (send == nullptr) return {};
  return std::shared_ptr<iSend>(send, [](iSend* link) { link->ReleaseLink(); });
}

}  // namespace

cSyncObj::cSyncObj(iSend* send, unsigned short id) : m_nID(id), m_pSend(HoldLink(send)) {}

cSyncObj::~cSyncObj() {
  ClearLink();
}

void cSyncObj::AddObserved(cSyncObj* obj) {
  TESSEL_ASSERT_WORKER();
  m_lObserved.push_back(obj);
}
void cSyncObj::RemoveObserved(cSyncObj* obj) {
  TESSEL_ASSERT_WORKER();
  m_lObserved.remove(obj);
}
void cSyncObj::AddSelected(cSyncObj* obj) {
  TESSEL_ASSERT_WORKER();
  m_lSelected.push_back(obj);
}
void cSyncObj::RemoveSelected(cSyncObj* obj) {
  TESSEL_ASSERT_WORKER();
  m_lSelected.remove(obj);
}

bool cSyncObj::IsSelected(cSyncObj* obj) const {
  return std::find(m_lSelected.begin(), m_lSelected.end(), obj) != m_lSelected.end();
}

int cSyncObj::SendMessageA(const stMsg* msg, unsigned long size) {
  TESSEL_ASSERT_WORKER();
  if (!m_pSend) return 0;
  if (msg->type == stMsg_Cmd::s_nType) {
    const auto* record = static_cast<const stMsg_Cmd*>(msg);
    TraceSendCmd(m_pSend.get(), record->cmd, record->text);
  }
  // A command record carries the served command's origin, as every command sent does.
  if (!PassCmdRecordGate(m_pSend.get(), msg, size)) return 0;
  // The record is stamped only for the duration of the send.
  auto* stamped = const_cast<stMsg*>(msg);
  stamped->id = m_nID;
  const int result = m_pSend->Send(stamped, size);
  stamped->id = 0;
  return result;
}

int cSyncObj::SendCmd(int cmd, const char* text) {
  TESSEL_ASSERT_WORKER();
  unsigned long size = 0;
  stMsg* record = Msg_GetCmd(cmd, text, size);
  if (!m_pSend || size == 0) return 0;
  return SendMessageA(record, size);
}

int cSyncObj::SendSelectMessage(const stMsg* msg, unsigned long size) {
  TESSEL_ASSERT_WORKER();
  for (cSyncObj* obj : m_lSelected) obj->SendMessageA(msg, size);
  return 1;
}

int cSyncObj::SendLandMessage(const stMsg* msg, unsigned long size) {
  TESSEL_ASSERT_WORKER();
  if (m_nObserving != 0) return 1;
  for (cSyncObj* obj : m_lObserved) obj->SendMessageA(msg, size);
  return SendMessageA(msg, size);
}

bool cSyncObj::OnInvalidMessage(int a, int b, bool c) {
  auto* link = dynamic_cast<iServerLink*>(m_pSend.get());
  return link != nullptr && link->OnInvalidMessage(a, b, c);
}

void cSyncObj::ClearLink() {
  m_pSend.reset();
}
