#include "tessel/core/audit_chain.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr size_t kKeyBytes = 32;

}  // namespace

// The digests are one-shot SHA-256 over buffers of their own: the writer signs every line, and
// a digest context made (and its algorithm looked up) for each one cost more than the hashing.
tAuditDigest AuditChainNext(const tAuditDigest& prev, std::string_view body) {
  thread_local std::string joined;
  joined.assign(reinterpret_cast<const char*>(prev.data()), prev.size());
  joined.append(body);
  tAuditDigest out{};
  SHA256(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), out.data());
  return out;
}

// HMAC-SHA256 (RFC 2104) of the chain value.
tAuditDigest AuditMac(std::string_view key, const tAuditDigest& chain) {
  constexpr size_t kBlock = 64;
  unsigned char block[kBlock] = {};
  if (key.size() > kBlock)
    SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), block);
  else if (!key.empty())
    std::memcpy(block, key.data(), key.size());
  unsigned char pad[kBlock + 32];
  tAuditDigest inner{}, out{};
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  std::memcpy(pad + kBlock, chain.data(), chain.size());
  SHA256(pad, kBlock + chain.size(), inner.data());
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  std::memcpy(pad + kBlock, inner.data(), inner.size());
  SHA256(pad, kBlock + inner.size(), out.data());
  OPENSSL_cleanse(block, sizeof block);
  OPENSSL_cleanse(pad, sizeof pad);
  return out;
}

std::string AuditHex(const tAuditDigest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
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
