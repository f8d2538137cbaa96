#include "tessel/replay/replay_file.h"

#include <algorithm>
#include <cstring>

namespace {

void PutU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetU32(const unsigned char* at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
  return value;
}

// Offsets of a record head.
constexpr size_t kClockAt = 0;
constexpr size_t kKindAt = 4;
constexpr size_t kNameAt = 8;
constexpr size_t kLinkIdAt = kNameAt + kReplayNameSize;
constexpr size_t kSizeAt = kLinkIdAt + 4;
static_assert(kSizeAt + 4 == kReplayRecordHeadSize);

}  // namespace

ReplayHeaderBytes EncodeReplayHeader(const stReplayHeader& header) {
  ReplayHeaderBytes bytes{};
  PutU32(&bytes[0], header.version);
  PutU32(&bytes[4], header.clock);
  PutU32(&bytes[8], header.time);
  return bytes;
}

stReplayHeader DecodeReplayHeader(const ReplayHeaderBytes& bytes) {
  return {GetU32(&bytes[0]), GetU32(&bytes[4]), GetU32(&bytes[8])};
}

ReplayRecordHeadBytes EncodeReplayRecordHead(const stReplayRecordHead& head) {
  ReplayRecordHeadBytes bytes{};
  PutU32(&bytes[kClockAt], head.clock);
  PutU32(&bytes[kKindAt], head.kind);
  std::memcpy(&bytes[kNameAt], head.name.data(), std::min(head.name.size(), kReplayNameSize));
  PutU32(&bytes[kLinkIdAt], head.linkId);
  PutU32(&bytes[kSizeAt], head.size);
  return bytes;
}

stReplayRecordHead DecodeReplayRecordHead(const ReplayRecordHeadBytes& bytes) {
  stReplayRecordHead head;
  head.clock = GetU32(&bytes[kClockAt]);
  head.kind = GetU32(&bytes[kKindAt]);
  const char* name = reinterpret_cast<const char*>(&bytes[kNameAt]);
  head.name.assign(name, strnlen(name, kReplayNameSize));
  head.linkId = GetU32(&bytes[kLinkIdAt]);
  head.size = GetU32(&bytes[kSizeAt]);
  return head;
}

std::array<unsigned char, kReplayStateSize> EncodeReplayState(uint16_t type, uint32_t linkId,
                                                              uint32_t state, uint32_t reason) {
  std::array<unsigned char, kReplayStateSize> bytes{};
  bytes[0] = static_cast<unsigned char>(type);
  bytes[1] = static_cast<unsigned char>(type >> 8);
  PutU32(&bytes[4], linkId);
  PutU32(&bytes[8], state);
  PutU32(&bytes[12], reason);
  return bytes;
}

bool IsReplayKind(uint32_t kind) {
  return kind == ReplayKind_Net || kind == ReplayKind_Peer || kind == ReplayKind_State;
}
