// The encoding of one direction of an encoded link: a ChaCha20 key stream XORed over every
// byte in stream order, keyed from the seeds both ends exchange in the hand-shake. It keeps the
// traffic unreadable to a casual observer; one who records the hand-shake can decode it.
// Not locked: each direction belongs to one side of its link (see cNetConn).
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlib {

inline constexpr size_t kCipherSeedBytes = 16;

// Random seed bytes for a hand-shake.
void MakeCipherSeed(char out[kCipherSeedBytes]);

class cStreamCipher {
 public:
  // direction 0: client to server, keyed by the client's seed; 1: server to client, keyed by
  // both seeds. `server` is ignored for direction 0.
  cStreamCipher(int direction, const char* clientSeed, const char* server);

  // Encodes or decodes (the same operation) n bytes at p, moving the position on.
  void Apply(char* p, size_t n);
  // Moves the position back by n bytes: bytes encoded but never sent are encoded again later.
  void Rewind(uint64_t n) { m_pos -= n; }
  uint64_t Position() const { return m_pos; }

 private:
  void MakeBlock(uint64_t index);

  uint32_t m_state[16];
  unsigned char m_block[64];
  uint64_t m_blockIndex = ~uint64_t(0);
  uint64_t m_pos = 0;
};

}  // namespace netlib
