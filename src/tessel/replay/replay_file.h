// The replay file: a 12-byte header, then records of a 48-byte head and their data, every field
// little-endian whatever the machine. Plain values and the coding of heads; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

inline constexpr uint32_t kReplayVersion = 1;
inline constexpr size_t kReplayHeaderSize = 12;
inline constexpr size_t kReplayRecordHeadSize = 48;
inline constexpr size_t kReplayNameSize = 32;

// What a record holds: a notice of the network callback's net-message path, a record of its
// peer-message path, or a network state event made up by the recorder.
enum ReplayKind : uint32_t { ReplayKind_Net = 1, ReplayKind_Peer = 2, ReplayKind_State = 3 };
// The data of a state event: 16-bit type, 16-bit 0, link id, state, reason.
inline constexpr size_t kReplayStateSize = 16;

struct stReplayHeader {
  uint32_t version = kReplayVersion;
  uint32_t clock = 0;  // millisecond clock when the file was created
  uint32_t time = 0;   // calendar seconds when the file was created
};

struct stReplayRecordHead {
  uint32_t clock = 0;  // millisecond clock when the record was written
  uint32_t kind = 0;
  std::string name;     // the link's name, at most 32 bytes
  uint32_t linkId = 0;  // id on the link's server; 0 for a client link
  uint32_t size = 0;    // bytes of data that follow
};

using ReplayHeaderBytes = std::array<unsigned char, kReplayHeaderSize>;
using ReplayRecordHeadBytes = std::array<unsigned char, kReplayRecordHeadSize>;

ReplayHeaderBytes EncodeReplayHeader(const stReplayHeader& header);
stReplayHeader DecodeReplayHeader(const ReplayHeaderBytes& bytes);
// The name is cut at 32 bytes and zero-padded.
ReplayRecordHeadBytes EncodeReplayRecordHead(const stReplayRecordHead& head);
// A name that fills all 32 bytes has no terminator; it is read up to the field's end.
stReplayRecordHead DecodeReplayRecordHead(const ReplayRecordHeadBytes& bytes);
// The data of a state event.
std::array<unsigned char, kReplayStateSize> EncodeReplayState(uint16_t type, uint32_t linkId,
                                                              uint32_t state, uint32_t reason);
bool IsReplayKind(uint32_t kind);
