// Framing of the byte stream: a 4-byte little-endian length, then the record bytes. A length
// with the top bit set marks an internal frame (ping, its answer, the encoding hand-shake),
// whose first body byte is its type. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlib {

inline constexpr size_t kFrameHeader = 4;
inline constexpr uint32_t kFrameInternalBit = 0x80000000u;

enum eInternalFrame : uint8_t {
  Internal_Ping = 1,       // body: type, u32 token
  Internal_Pong = 2,       // body: type, the token of the ping
  Internal_EncodeAsk = 3,  // body: type, encode word, compress word
  Internal_EncodeOk = 4,   // body: type
};

enum class eFrame {
  Record,     // a complete record frame
  Internal,   // a complete internal frame
  Partial,    // more bytes are needed (header or body)
  TooBig,     // the length passes the largest record: never trust it
  Malformed,  // an internal frame of an impossible size
};

struct stFrame {
  eFrame kind = eFrame::Partial;
  uint32_t body = 0;  // body size, valid unless Partial without a whole header
  bool haveHeader = false;
};

// Looks at the frame starting at `p` with `n` bytes available.
stFrame PeekFrame(const char* p, size_t n, uint32_t maxRecord);

void PutFrameHeader(char* out, uint32_t body, bool internal);
uint32_t ReadLe32(const char* p);
void PutLe32(char* out, uint32_t v);

}  // namespace netlib
