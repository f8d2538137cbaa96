// Framing of the byte stream: a 4-byte little-endian length, then the record bytes. A length
// with the top bit set marks an internal frame (ping, its answer), whose first body byte is its
// type; one with the next bit set a packed record (the record's u32 size, then its zstd frame).
// Pure functions over the bytes given (CutFrame unpacks into a per-thread buffer); any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlib {

inline constexpr size_t kFrameHeader = 4;
inline constexpr uint32_t kFrameInternalBit = 0x80000000u;
inline constexpr uint32_t kFramePackedBit = 0x40000000u;
inline constexpr uint32_t kPackedPrefix = 4;  // the plain size before a packed record's bytes

enum eInternalFrame : uint8_t {
  Internal_Ping = 1,  // body: type, u32 token
  Internal_Pong = 2,  // body: type, the token of the ping
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
  bool packed = false;  // a packed record (Record, Partial or TooBig)
};

// Looks at the frame starting at `p` with `n` bytes available.
stFrame PeekFrame(const char* p, size_t n, uint32_t maxRecord);

// One frame cut from the front of received bytes, ready to hand on.
struct stCutFrame {
  enum class eKind : uint8_t {
    Record,    // `body` holds the record, unpacked when it came packed
    Internal,  // `body` holds the internal frame's body
    Partial,   // more bytes are needed
    Refused,   // the link must be cut with `reason`
  };
  eKind kind = eKind::Partial;
  bool packed = false;  // the frame was a packed record
  const char* body = nullptr;
  uint32_t size = 0;      // bytes at `body`
  uint32_t length = 0;    // bytes of the stream the frame takes, its header included
  uint32_t reason = 0;    // Refused: 6 too big, 7 declares too much, 8 does not unpack, 9 malformed
  uint32_t declared = 0;  // Refused: the body size its length word declares
};

// Cuts the frame at the front of the `n` bytes at `p`. A packed record is unpacked into this
// thread's buffer, valid until the next packed record is cut on this thread.
stCutFrame CutOddFrame(const char* p, size_t n, uint32_t maxRecord);

inline uint32_t ReadLe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

inline void PutLe32(char* out, uint32_t v) {
  out[0] = static_cast<char>(v);
  out[1] = static_cast<char>(v >> 8);
  out[2] = static_cast<char>(v >> 16);
  out[3] = static_cast<char>(v >> 24);
}

inline void PutFrameHeader(char* out, uint32_t body, bool internal) {
  PutLe32(out, internal ? (body | kFrameInternalBit) : body);
}

// Looks at the frame's length word alone: the body size without the packed bit.
inline uint32_t RecordBody(uint32_t word, bool& packed) {
  packed = (word & kFramePackedBit) != 0;
  return word & ~kFramePackedBit;
}

// The common frame, a plain record within the largest, is cut here; every other kind by
// CutOddFrame.
inline stCutFrame CutFrame(const char* p, size_t n, uint32_t maxRecord) {
  if (n < kFrameHeader) return {};
  const uint32_t word = ReadLe32(p);
  if ((word & (kFrameInternalBit | kFramePackedBit)) || word > maxRecord)
    return CutOddFrame(p, n, maxRecord);
  stCutFrame f;
  if (n - kFrameHeader < word) return f;
  f.kind = stCutFrame::eKind::Record;
  f.body = p + kFrameHeader;
  f.size = word;
  f.length = static_cast<uint32_t>(kFrameHeader) + word;
  return f;
}

}  // namespace netlib
