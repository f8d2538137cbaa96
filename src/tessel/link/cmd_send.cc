#include "tessel/link/cmd_send.h"

#include <memory>

#include "tessel/contracts/netlib.h"
#include "tessel/core/trace.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/msg_records.h"

// Off the worker (a broken contract that only the builds with asserts stop) the shared record
// would be filled by two threads at once and go out mixed: such a call sends as the Apart form.
int SendCmd(iSend* link, int level, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (!OnWorkerThread()) return SendCmdApart(link, level, text);
  unsigned long size = 0;
  stMsg* record = Msg_GetCmd(level, text, size);
  if (link == nullptr) return 0;
  TraceSendCmd(link, level, text);
  // A refused text was reported by the builder; an empty record is never sent.
  if (size == 0) return 0;
  // The served command's origin goes first to a peer that reads it; the command never goes
  // without it.
  cOriginDesk& desk = cOriginDesk::Instance();
  if (!desk.BeforeSend(link, level, text)) return 0;
  const int sent = link->Send(record, size);
  if (sent != 0) desk.Sent(link, level, text);
  return sent;
}

int SendCmd(iSend* link, int level, const std::string& text) {
  return SendCmd(link, level, text.c_str());
}

int SendServerCmd(iServer* server, int level, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (!OnWorkerThread()) return SendServerCmdApart(server, level, text);
  if (server == nullptr) return 0;
  if (text == nullptr) text = "";
  TraceServerCmd(server, level, text);
  unsigned long size = 0;
  stMsg* record = Msg_GetCmd(level, text, size);
  if (size == 0) return 0;
  // Sent link by link where origins go with it; the number of links it went to either way.
  const int sent = cOriginDesk::Instance().SendToAll(server, level, text, record, size);
  return sent >= 0 ? sent : server->SendToAll(record, size);
}

int SendServerCmd(iServer* server, int level, const std::string& text) {
  return SendServerCmd(server, level, text.c_str());
}

namespace {

// A record of the call's own, or null when the text is too long to send.
std::unique_ptr<stMsg_Cmd> RecordApart(int level, const char* text) {
  auto record = std::make_unique<stMsg_Cmd>();
  if (!record->SetCmd(level, text != nullptr ? text : "")) return nullptr;
  return record;
}

}  // namespace

int SendCmdApart(iSend* link, int level, const char* text) {
  std::unique_ptr<stMsg_Cmd> record = link != nullptr ? RecordApart(level, text) : nullptr;
  return record != nullptr ? link->Send(record.get(), record->GetSize()) : 0;
}

int SendServerCmdApart(iServer* server, int level, const char* text) {
  std::unique_ptr<stMsg_Cmd> record = server != nullptr ? RecordApart(level, text) : nullptr;
  return record != nullptr ? server->SendToAll(record.get(), record->GetSize()) : 0;
}
