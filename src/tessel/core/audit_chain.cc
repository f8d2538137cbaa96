#include "tessel/core/audit_chain.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr size_t kKeyBytes = 32;

// SHA-256 through one digest context per thread, its algorithm fetched once for the process:
// the writer hashes every line three times, and a context made and the algorithm looked up for
// each digest (what the one-shot call does) cost more than the hashing itself.
class cSha256 {
 public:
  cSha256() : m_ctx(EVP_MD_CTX_new()) {}
  ~cSha256() { EVP_MD_CTX_free(m_ctx); }
  cSha256(const cSha256&) = delete;
  cSha256& operator=(const cSha256&) = delete;

  static cSha256& OfThread() {
    thread_local cSha256 hasher;
    return hasher;
  }
  void Begin() { EVP_DigestInit_ex(m_ctx, Algorithm(), nullptr); }
  void Add(const void* data, size_t size) { EVP_DigestUpdate(m_ctx, data, size); }
  tAuditDigest End() {
    tAuditDigest out{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(m_ctx, out.data(), &size);
    return out;
  }

 private:
  static const EVP_MD* Algorithm() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md != nullptr ? md : EVP_sha256();
  }
  EVP_MD_CTX* m_ctx;
};

}  // namespace

tAuditDigest AuditChainNext(const tAuditDigest& prev, std::string_view body) {
  cSha256& sha = cSha256::OfThread();
  sha.Begin();
  sha.Add(prev.data(), prev.size());
  sha.Add(body.data(), body.size());
  return sha.End();
}

// HMAC-SHA256 (RFC 2104) of the chain value.
tAuditDigest AuditMac(std::string_view key, const tAuditDigest& chain) {
  constexpr size_t kBlock = 64;
  cSha256& sha = cSha256::OfThread();
  unsigned char block[kBlock] = {};
  if (key.size() > kBlock) {
    sha.Begin();
    sha.Add(key.data(), key.size());
    const tAuditDigest hashed = sha.End();
    std::memcpy(block, hashed.data(), hashed.size());
  } else if (!key.empty()) {
    std::memcpy(block, key.data(), key.size());
  }
  unsigned char pad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  sha.Begin();
  sha.Add(pad, kBlock);
  sha.Add(chain.data(), chain.size());
  const tAuditDigest inner = sha.End();
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  sha.Begin();
  sha.Add(pad, kBlock);
  sha.Add(inner.data(), inner.size());
  OPENSSL_cleanse(block, sizeof block);
  OPENSSL_cleanse(pad, sizeof pad);
  return sha.End();
}

void AppendAuditHex(std::string& out, const tAuditDigest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  const size_t at = out.size();
  out.resize(at + digest.size() * 2);
  for (size_t i = 0; i < digest.size(); ++i) {
    out[at + 2 * i] = kDigits[digest[i] >> 4];
    out[at + 2 * i + 1] = kDigits[digest[i] & 15];
  }
}

std::string AuditHex(const tAuditDigest& digest) {
  std::string hex;
  AppendAuditHex(hex, digest);
  return hex;
}

bool AuditFromHex(std::string_view hex, tAuditDigest* digest) {
  if (hex.size() != digest->size() * 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < digest->size(); ++i) {
    const int high = nibble(hex[2 * i]);
    const int low = nibble(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

bool LoadAuditKey(const std::string& path, std::string* key, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  if (!in || !std::getline(in, text)) {
    *error = "cannot read the audit key " + path;
    return false;
  }
  tAuditDigest raw{};
  if (!AuditFromHex(text, &raw)) {
    *error = "the audit key " + path + " is not 64 hexadecimal digits";
    return false;
  }
  key->assign(reinterpret_cast<const char*>(raw.data()), raw.size());
  return true;
}

bool LoadOrMakeAuditKey(const std::string& path, std::string* key, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if ((st.st_mode & 077) != 0) ::chmod(path.c_str(), 0600);
    return LoadAuditKey(path, key, error);
  }
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  tAuditDigest raw{};
  if (RAND_bytes(raw.data(), static_cast<int>(kKeyBytes)) != 1) {
    *error = "no random bytes for the audit key";
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot make the audit key " + path;
    return false;
  }
  const std::string text = AuditHex(raw) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written) {
    *error = "cannot write the audit key " + path;
    return false;
  }
  key->assign(reinterpret_cast<const char*>(raw.data()), raw.size());
  return true;
}
