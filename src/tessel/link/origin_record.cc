#include "tessel/link/origin_record.h"

#include <cstring>

#include "tessel/link/bridge.h"
#include "tessel/link/origin_desk.h"

bool stMsg_Origin::Set(eKind what, uint32_t answer, uint32_t hash, std::string_view body,
                       uint32_t hops) {
  const unsigned tail = hops != 0 ? kHopBytes : 0;
  if (body.size() + tail >= kTextCapacity) return false;
  type = static_cast<uint16_t>(kType);
  id = 0;
  kind = what;
  answerId = answer;
  cmdHash = hash;
  if (!body.empty()) std::memcpy(text, body.data(), body.size());
  text[body.size()] = '\0';
  if (tail != 0) std::memcpy(text + body.size() + 1, &hops, sizeof hops);
  m_nTail = tail;
  return true;
}

unsigned long stMsg_Origin::Size() const {
  return kOriginHeadBytes + std::strlen(text) + 1 + m_nTail;
}

bool stMsg_Origin::Read(const stBindMsg& msg, const stMsg_Origin*& record, std::string_view& body,
                        uint32_t& hops) {
  hops = 0;
  if (msg.msg == nullptr || msg.size <= kOriginHeadBytes) return false;
  record = reinterpret_cast<const stMsg_Origin*>(msg.msg);
  const char* start = reinterpret_cast<const char*>(msg.msg) + kOriginHeadBytes;
  const size_t room = msg.size - kOriginHeadBytes;
  const void* end = std::memchr(start, '\0', room);
  if (end == nullptr) return false;
  body = std::string_view(start, static_cast<size_t>(static_cast<const char*>(end) - start));
  if (room - body.size() - 1 >= kHopBytes) std::memcpy(&hops, start + body.size() + 1, kHopBytes);
  return true;
}

cOriginBind& cOriginBind::Instance() {
  static cOriginBind binding;
  return binding;
}

HandleChatExceptionEnum cOriginBind::OnMsg(iBridge* bridge, stBindMsg* msg) {
  auto* own = dynamic_cast<cBridge*>(bridge);
  if (own == nullptr || msg == nullptr) return ChatException_InternalWrong;
  return cOriginDesk::Instance().Receive(*own, *msg);
}
