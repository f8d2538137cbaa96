#include "tessel/console/remote_stream.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "tessel/console/path_router.h"
#include "tessel/console/remote_path.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/msg_records.h"

namespace {

// The call text: the head, an empty parameter and what the writer adds; false when the writer
// fails or there is no route.
bool WriteCall(const char* dest, RemoteStreamWriter writer, void* a, void* b, std::string& call) {
  const std::string head = RemoteStreamHead(dest);
  if (head.empty() || writer == nullptr) return false;
  std::ostringstream os;
  os << head << ",'',";
  if (!writer(os, a, b)) return false;
  call = os.str();
  return true;
}

iSend* StreamLink(const char* dest) {
  return cPathRouter::FirstHopLink(cRemotePath::Instance().GetPath(dest), nullptr);
}

}  // namespace

std::string RemoteStreamHead(const char* dest) {
  const std::string route = GetRemotePach(dest);
  // The last three commas stand before the parameter, the group and the text.
  size_t cut = route.size();
  for (int commas = 0; commas < 3; ++commas) {
    if (cut == 0) return std::string();
    cut = route.rfind(',', cut - 1);
    if (cut == std::string::npos) return std::string();
  }
  return route.substr(0, cut);
}

bool SendRemoteStream(const char* dest, RemoteStreamWriter writer, void* a, void* b) {
  TESSEL_ASSERT_WORKER();
  iSend* link = StreamLink(dest);
  std::string call;
  if (link == nullptr || !WriteCall(dest, writer, a, b, call)) return false;
  if (call.size() > stMsg_Cmd::kMaxTextLength) {
    std::cout << "SendRemoteStream too long " << call.size() << " to " << dest << std::endl;
    return false;
  }
  // The one send point: the served command's origin goes first, and the command never goes
  // without it.
  return SendCmd(link, kRouteGroup, call) != 0;
}

bool SendRemoteStream2(const char* dest, RemoteStreamWriter writer, void* a, void* b) {
  TESSEL_ASSERT_WORKER();
  iSend* link = StreamLink(dest);
  std::string call;
  if (link == nullptr || !WriteCall(dest, writer, a, b, call)) return false;
  // The command record's header (type, id, group), the text and at least one terminating zero,
  // rounded up to a multiple of 4. Every peer refuses a command record above the largest (its
  // text would be lost), so such a text is not sent.
  const stMsg_Cmd& shape = Msg_GetCmdRecord();
  const stMsg header = shape;
  const std::int32_t group = kRouteGroup;
  const size_t size = (sizeof(header) + sizeof(group) + call.size() + 1 + 3) & ~size_t{3};
  if (size > stMsg_Cmd::kTextCapacity) {
    std::cout << "SendRemoteStream2 too long " << call.size() << " to " << dest << std::endl;
    return false;
  }
  std::vector<char> record(size, 0);
  std::memcpy(record.data(), &header, sizeof(header));
  std::memcpy(record.data() + sizeof(header), &group, sizeof(group));
  std::memcpy(record.data() + sizeof(header) + sizeof(group), call.data(), call.size());
  // The served command's origin goes first, as at the one send point (SendCmd); the record,
  // larger than that point's, never goes without it.
  if (!cOriginDesk::Instance().BeforeSend(link, kRouteGroup, call.c_str())) return false;
  return link->Send(reinterpret_cast<const stMsg*>(record.data()),
                    static_cast<unsigned long>(record.size())) != 0;
}
