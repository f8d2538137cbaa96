// The TLS 1.3 records of a connection whose hand-shake is done: each direction's traffic secret,
// key, nonce base and sequence number, taken over from OpenSSL when its hand-shake ends, so that
// the hand-shake's state (some 16 KiB a connection) is freed and records are sealed straight
// from the link's queued frames into its write buffer and opened straight from its read buffer
// into the text handed on. Opening runs on the connection's strand, sealing on its writer; the
// two directions share nothing but the flag by which a peer's key update asks for ours.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "netlib/net_send_queue.h"

namespace netlib {

class cTlsRecords {
 public:
  // The cipher suites of TLS 1.3 this layer seals with (those OpenSSL offers by default).
  enum class eSuite : uint8_t { Aes128Gcm, Aes256Gcm, Chacha20Poly1305 };
  // From the suite's protocol id and the traffic secrets of both directions; null for a suite
  // it does not know.
  static std::unique_ptr<cTlsRecords> Make(uint16_t suiteId, const std::string& readSecret,
                                           const std::string& writeSecret);

  enum class eOpen : uint8_t { Done, Full, Closed, Failed };
  // Opens the records in the `n` bytes at `in` into `plain` (at most `cap` bytes of text),
  // advancing `in` and `n` past what it took and adding the text's length to `got`. A record
  // split at the end of `in` is kept for the next call. Full: `plain` has no room for the next
  // record, whose bytes are left in `in`; Closed: the peer ended the session; Failed: a record
  // failed its check or broke the protocol (Error() says how).
  eOpen Open(const char*& in, size_t& n, char* plain, size_t cap, size_t& got);
  // Seals the `headSize` bytes at `head` and the `n` that follow at `plain` into records
  // appended to `out` (the two share the first record), preceded by a key update when the
  // peer asked for one. False (and SealError()) when the cipher failed.
  bool Seal(const char* head, size_t headSize, const char* plain, size_t n, cByteBuffer& out);
  // The last failure of each side, for log lines (read: strand; seal: writer).
  const std::string& ReadError() const { return m_readError; }
  const std::string& SealError() const { return m_sealError; }

  ~cTlsRecords();

 private:
  struct stDirection {
    uint8_t secret[48];
    uint8_t key[32];
    uint8_t iv[12];
    uint64_t seq = 0;
    uint64_t generation = 0;  // names this key in the per-thread cipher state
  };
  explicit cTlsRecords(eSuite suite) : m_suite(suite) {}
  bool Derive(stDirection& d, const uint8_t* secret);
  bool NextKey(stDirection& d);
  // Opens the one record at `record` (its header and `body` bytes) into `into`; the text's
  // length in `text`, its inner type in `type`.
  bool OpenRecord(const char* record, size_t body, char* into, size_t& text, uint8_t& type);
  bool SealRecord(const char* head, size_t headSize, const char* text, size_t n, uint8_t type,
                  cByteBuffer& out);
  eOpen TakeHandshake(const char* text, size_t n);
  eOpen TakeAlert(const char* text, size_t n);
  eOpen Fail(const char* why);

  const eSuite m_suite;
  stDirection m_read;                       // strand
  stDirection m_write;                      // writer
  std::atomic<bool> m_updateWanted{false};  // the peer asked for a key update of ours
  cByteBuffer m_split;                      // strand: a record split across reads
  cByteBuffer m_handshake;                  // strand: a hand-shake message split across records
  std::string m_readError, m_sealError;
};

}  // namespace netlib
