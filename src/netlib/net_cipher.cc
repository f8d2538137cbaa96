#include "netlib/net_cipher.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace netlib {

namespace {

uint32_t Rotl(uint32_t v, int n) {
  return (v << n) | (v >> (32 - n));
}

void QuarterRound(uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = Rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = Rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = Rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = Rotl(x[b] ^ x[c], 7);
}

uint32_t Le32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

// Fixed key half of the client-to-server direction, whose stream starts before the server's
// seed is known.
constexpr char kClientKeyHalf[kCipherSeedBytes + 1] = "tessel-net-c2s-k";

}  // namespace

void MakeCipherSeed(char out[kCipherSeedBytes]) {
  std::random_device device;
  for (size_t i = 0; i < kCipherSeedBytes; i += 4) {
    uint32_t v = device();
    std::memcpy(out + i, &v, 4);
  }
}

cStreamCipher::cStreamCipher(int direction, const char* clientSeed, const char* server) {
  char key[32];
  if (direction == 0) {
    std::memcpy(key, clientSeed, kCipherSeedBytes);
    std::memcpy(key + kCipherSeedBytes, kClientKeyHalf, kCipherSeedBytes);
  } else {
    std::memcpy(key, server, kCipherSeedBytes);
    std::memcpy(key + kCipherSeedBytes, clientSeed, kCipherSeedBytes);
  }
  // "expand 32-byte k", the key, a block counter (words 12, 13) and the direction as nonce.
  m_state[0] = 0x61707865;
  m_state[1] = 0x3320646e;
  m_state[2] = 0x79622d32;
  m_state[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) m_state[4 + i] = Le32(key + 4 * i);
  m_state[12] = m_state[13] = 0;
  m_state[14] = static_cast<uint32_t>(direction);
  m_state[15] = 0;
}

void cStreamCipher::MakeBlock(uint64_t index) {
  uint32_t x[16];
  m_state[12] = static_cast<uint32_t>(index);
  m_state[13] = static_cast<uint32_t>(index >> 32);
  std::memcpy(x, m_state, sizeof x);
  for (int round = 0; round < 10; ++round) {
    QuarterRound(x, 0, 4, 8, 12);
    QuarterRound(x, 1, 5, 9, 13);
    QuarterRound(x, 2, 6, 10, 14);
    QuarterRound(x, 3, 7, 11, 15);
    QuarterRound(x, 0, 5, 10, 15);
    QuarterRound(x, 1, 6, 11, 12);
    QuarterRound(x, 2, 7, 8, 13);
    QuarterRound(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) {
    uint32_t v = x[i] + m_state[i];
    m_block[4 * i] = static_cast<unsigned char>(v);
    m_block[4 * i + 1] = static_cast<unsigned char>(v >> 8);
    m_block[4 * i + 2] = static_cast<unsigned char>(v >> 16);
    m_block[4 * i + 3] = static_cast<unsigned char>(v >> 24);
  }
  m_blockIndex = index;
}

void cStreamCipher::Apply(char* p, size_t n) {
  while (n) {
    uint64_t index = m_pos >> 6;
    size_t at = static_cast<size_t>(m_pos & 63);
    if (index != m_blockIndex) MakeBlock(index);
    size_t take = std::min(n, 64 - at);
    for (size_t i = 0; i < take; ++i) p[i] = static_cast<char>(p[i] ^ m_block[at + i]);
    p += take;
    n -= take;
    m_pos += take;
  }
}

}  // namespace netlib
