#include "netlib/net_tls_records.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstring>

namespace netlib {

namespace {

constexpr size_t kHeader = 5;             // type, legacy version, length
constexpr size_t kMaxText = 16384;        // text of one record
constexpr size_t kMaxBody = 16384 + 256;  // sealed body of one record
constexpr size_t kTag = 16;
constexpr size_t kNonce = 12;
constexpr size_t kMaxHandshakeBytes = 65536;  // post-hand-shake messages waiting for their end
constexpr uint8_t kAlert = 21, kHandshake = 22, kApplicationData = 23;
constexpr uint8_t kNewSessionTicket = 4, kKeyUpdate = 24;

struct stSuiteInfo {
  const char* cipher;
  const char* digest;
  size_t key;
  size_t hash;
};

const stSuiteInfo& Info(cTlsRecords::eSuite suite) {
  static const stSuiteInfo info[] = {{"AES-128-GCM", "SHA256", 16, 32},
                                     {"AES-256-GCM", "SHA384", 32, 48},
                                     {"ChaCha20-Poly1305", "SHA256", 32, 32}};
  return info[static_cast<int>(suite)];
}

// The ciphers, fetched once: a cipher fetched for each record would cost a look-up each time.
EVP_CIPHER* Cipher(cTlsRecords::eSuite suite) {
  static EVP_CIPHER* const ciphers[] = {EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
                                        EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
                                        EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr)};
  return ciphers[static_cast<int>(suite)];
}

// HKDF-Expand-Label(secret, label, "", size) of the suite's hash.
bool ExpandLabel(cTlsRecords::eSuite suite, const uint8_t* secret, const char* label, uint8_t* out,
                 size_t size) {
  static EVP_KDF* const hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  uint8_t info[2 + 1 + 255 + 1];
  const size_t labelSize = 6 + std::strlen(label);
  info[0] = static_cast<uint8_t>(size >> 8);
  info[1] = static_cast<uint8_t>(size);
  info[2] = static_cast<uint8_t>(labelSize);
  std::memcpy(info + 3, "tls13 ", 6);
  std::memcpy(info + 9, label, labelSize - 6);
  info[3 + labelSize] = 0;  // no context
  int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
  const stSuiteInfo& s = Info(suite);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(s.digest), 0),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(secret), s.hash),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, 4 + labelSize),
      OSSL_PARAM_construct_end()};
  EVP_KDF_CTX* ctx = hkdf ? EVP_KDF_CTX_new(hkdf) : nullptr;
  const bool ok = ctx && EVP_KDF_derive(ctx, out, size, params) == 1;
  EVP_KDF_CTX_free(ctx);
  return ok;
}

// The cipher state of one thread, keyed for the direction that used it last, so that a thread
// sealing or opening record after record of one link sets only each record's nonce.
struct stThreadCipher {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  uint64_t generation = 0;
  ~stThreadCipher() { EVP_CIPHER_CTX_free(ctx); }
};

std::atomic<uint64_t> g_generations{0};

uint16_t ReadBe16(const char* p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) << 8 | static_cast<uint8_t>(p[1]));
}

// Whether a record header can start a sealed record of TLS 1.3.
bool HeaderFits(const char* header) {
  const size_t body = ReadBe16(header + 3);
  return static_cast<uint8_t>(header[0]) == kApplicationData && body > kTag && body <= kMaxBody;
}

}  // namespace

std::unique_ptr<cTlsRecords> cTlsRecords::Make(uint16_t suiteId, const std::string& readSecret,
                                               const std::string& writeSecret) {
  eSuite suite;
  switch (suiteId) {
    case 0x1301:
      suite = eSuite::Aes128Gcm;
      break;
    case 0x1302:
      suite = eSuite::Aes256Gcm;
      break;
    case 0x1303:
      suite = eSuite::Chacha20Poly1305;
      break;
    default:
      return nullptr;
  }
  const size_t hash = Info(suite).hash;
  if (readSecret.size() != hash || writeSecret.size() != hash || !Cipher(suite)) return nullptr;
  std::unique_ptr<cTlsRecords> records(new cTlsRecords(suite));
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  if (!records->Derive(records->m_read, bytes(readSecret)) ||
      !records->Derive(records->m_write, bytes(writeSecret)))
    return nullptr;
  return records;
}

cTlsRecords::~cTlsRecords() {
  OPENSSL_cleanse(&m_read, sizeof m_read);
  OPENSSL_cleanse(&m_write, sizeof m_write);
}

bool cTlsRecords::Derive(stDirection& d, const uint8_t* secret) {
  const stSuiteInfo& s = Info(m_suite);
  std::memmove(d.secret, secret, s.hash);
  d.seq = 0;
  d.generation = ++g_generations;
  return ExpandLabel(m_suite, d.secret, "key", d.key, s.key) &&
         ExpandLabel(m_suite, d.secret, "iv", d.iv, kNonce);
}

// A key update: the direction's next traffic secret, and its key and nonce base.
bool cTlsRecords::NextKey(stDirection& d) {
  uint8_t next[48];
  const bool ok =
      ExpandLabel(m_suite, d.secret, "traffic upd", next, Info(m_suite).hash) && Derive(d, next);
  OPENSSL_cleanse(next, sizeof next);
  return ok;
}

namespace {

// Starts one record's cipher: the direction's key (set only when the thread's state holds
// another) and the nonce of its next sequence number.
EVP_CIPHER_CTX* Begin(EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, uint64_t seq,
                      uint64_t generation, int encrypt) {
  thread_local stThreadCipher state;
  uint8_t nonce[kNonce];
  std::memcpy(nonce, iv, kNonce);
  for (int i = 0; i < 8; ++i) nonce[kNonce - 1 - i] ^= static_cast<uint8_t>(seq >> (8 * i));
  const bool same = state.generation == generation;
  state.generation = 0;  // until this start succeeds
  if (EVP_CipherInit_ex2(state.ctx, same ? nullptr : cipher, same ? nullptr : key, nonce, encrypt,
                         nullptr) != 1)
    return nullptr;
  state.generation = generation;
  return state.ctx;
}

}  // namespace

bool cTlsRecords::OpenRecord(const char* record, size_t body, char* into, size_t& text,
                             uint8_t& type) {
  const auto* in = reinterpret_cast<const uint8_t*>(record);
  auto* out = reinterpret_cast<uint8_t*>(into);
  const size_t sealed = body - kTag;
  EVP_CIPHER_CTX* ctx =
      Begin(Cipher(m_suite), m_read.key, m_read.iv, m_read.seq, m_read.generation, 0);
  int n = 0, last = 0;
  bool ok = ctx && EVP_CipherUpdate(ctx, nullptr, &n, in, kHeader) == 1 &&
            EVP_CipherUpdate(ctx, out, &n, in + kHeader, static_cast<int>(sealed)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTag,
                                const_cast<uint8_t*>(in + kHeader + sealed)) == 1 &&
            EVP_CipherFinal_ex(ctx, out + n, &last) == 1;
  if (!ok) return false;
  ++m_read.seq;
  // The text is followed by its type and any number of zero bytes of padding.
  size_t size = sealed;
  while (size && out[size - 1] == 0) --size;
  if (!size) return false;
  type = out[size - 1];
  text = size - 1;
  return true;
}

cTlsRecords::eOpen cTlsRecords::Open(const char*& in, size_t& n, char* plain, size_t cap,
                                     size_t& got) {
  auto take = [&](size_t want) {
    if (m_split.size() >= want) return true;
    const size_t count = std::min(want - m_split.size(), n);
    if (count) std::memcpy(m_split.Extend(count), in, count);
    in += count;
    n -= count;
    return m_split.size() == want;
  };
  for (;;) {
    // The record's bytes: in place in `in`, or, when reads split it, gathered in m_split.
    const char* record = in;
    if (!m_split.empty() || n < kHeader) {
      if (!take(kHeader)) return eOpen::Done;
      if (!HeaderFits(m_split.data())) return Fail("unexpected record");
      if (!take(kHeader + ReadBe16(m_split.data() + 3))) return eOpen::Done;
      record = m_split.data();
    } else if (!HeaderFits(in)) {
      return Fail("unexpected record");
    } else if (n < kHeader + ReadBe16(in + 3)) {
      take(n);  // split at the end of this read: kept for the next one
      return eOpen::Done;
    }
    const size_t body = ReadBe16(record + 3);
    if (cap - got < body - kTag) return eOpen::Full;
    size_t text = 0;
    uint8_t type = 0;
    if (!OpenRecord(record, body, plain + got, text, type)) return Fail("record failed its check");
    if (record == in) {
      in += kHeader + body;
      n -= kHeader + body;
    } else {
      m_split.Release();
    }
    if (type == kApplicationData) {
      got += text;
      continue;
    }
    const eOpen step = type == kHandshake ? TakeHandshake(plain + got, text)
                       : type == kAlert   ? TakeAlert(plain + got, text)
                                          : Fail("unexpected record type");
    if (step != eOpen::Done) return step;
  }
}

// Messages of the hand-shake protocol after the hand-shake: a key update changes the keys the
// peer seals with (and may ask for ours); session tickets are not used.
cTlsRecords::eOpen cTlsRecords::TakeHandshake(const char* text, size_t n) {
  if (m_handshake.size() + n > kMaxHandshakeBytes) return Fail("hand-shake message too long");
  std::memcpy(m_handshake.Extend(n), text, n);
  const auto* m = reinterpret_cast<const uint8_t*>(m_handshake.data());
  size_t at = 0;
  while (m_handshake.size() - at >= 4) {
    const size_t size = size_t(m[at + 1]) << 16 | size_t(m[at + 2]) << 8 | m[at + 3];
    if (m_handshake.size() - at - 4 < size) break;
    const uint8_t type = m[at];
    const uint8_t request = size ? m[at + 4] : 0;
    at += 4 + size;
    if (type == kNewSessionTicket) continue;
    if (type != kKeyUpdate || size != 1 || request > 1)
      return Fail("unexpected hand-shake message");
    // A key update ends its record: what follows is sealed with the new key.
    if (at != m_handshake.size()) return Fail("key update not at the end of its record");
    if (!NextKey(m_read)) return Fail("key update failed");
    if (request) m_updateWanted.store(true);
  }
  if (at == m_handshake.size()) {
    m_handshake.Release();
  } else if (at) {
    std::memmove(m_handshake.data(), m_handshake.data() + at, m_handshake.size() - at);
    m_handshake.Truncate(m_handshake.size() - at);
  }
  return eOpen::Done;
}

cTlsRecords::eOpen cTlsRecords::TakeAlert(const char* text, size_t n) {
  if (n != 2) return Fail("malformed alert");
  const uint8_t description = static_cast<uint8_t>(text[1]);
  if (description == 0) {  // close_notify
    m_readError = "the peer closed the session";
    return eOpen::Closed;
  }
  return Fail(("alert " + std::to_string(description) + " from the peer").c_str());
}

cTlsRecords::eOpen cTlsRecords::Fail(const char* why) {
  m_readError = std::string("TLS record: ") + why;
  m_split.Release();
  return eOpen::Failed;
}

bool cTlsRecords::SealRecord(const char* head, size_t headSize, const char* text, size_t n,
                             uint8_t type, cByteBuffer& out) {
  const size_t size = headSize + n;
  const size_t body = size + 1 + kTag;
  auto* at = reinterpret_cast<uint8_t*>(out.Extend(kHeader + body));
  at[0] = kApplicationData;
  at[1] = 3;
  at[2] = 3;
  at[3] = static_cast<uint8_t>(body >> 8);
  at[4] = static_cast<uint8_t>(body);
  EVP_CIPHER_CTX* ctx =
      Begin(Cipher(m_suite), m_write.key, m_write.iv, m_write.seq, m_write.generation, 1);
  uint8_t* sealed = at + kHeader;
  auto update = [&](uint8_t* to, const void* from, size_t count) {
    int len = 0;
    return !count || EVP_CipherUpdate(ctx, to, &len, static_cast<const uint8_t*>(from),
                                      static_cast<int>(count)) == 1;
  };
  int len = 0;
  const bool ok = ctx && EVP_CipherUpdate(ctx, nullptr, &len, at, kHeader) == 1 &&
                  update(sealed, head, headSize) && update(sealed + headSize, text, n) &&
                  update(sealed + size, &type, 1) &&
                  EVP_CipherFinal_ex(ctx, sealed + size + 1, &len) == 1 &&
                  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTag, sealed + size + 1) == 1;
  if (!ok) {
    m_sealError = "TLS record: sealing failed";
    return false;
  }
  ++m_write.seq;
  return true;
}

bool cTlsRecords::Seal(const char* head, size_t headSize, const char* plain, size_t n,
                       cByteBuffer& out) {
  if (m_updateWanted.exchange(false)) {
    // Our key update answers the peer's, before anything sealed with the next key.
    const char update[5] = {static_cast<char>(kKeyUpdate), 0, 0, 1, 0};
    if (!SealRecord(nullptr, 0, update, sizeof update, kHandshake, out)) return false;
    if (!NextKey(m_write)) {
      m_sealError = "TLS record: key update failed";
      return false;
    }
  }
  // The head and the start of the text share the first record.
  size_t first = std::min(n, kMaxText - headSize);
  if ((headSize || n) && !SealRecord(head, headSize, plain, first, kApplicationData, out))
    return false;
  for (size_t at = first; at < n; at += kMaxText) {
    if (!SealRecord(nullptr, 0, plain + at, std::min(kMaxText, n - at), kApplicationData, out))
      return false;
  }
  return true;
}

}  // namespace netlib
