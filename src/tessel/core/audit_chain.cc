#include "tessel/core/audit_chain.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr size_t kKeyBytes = 32;

}  // namespace

tAuditDigest AuditChainNext(const tAuditDigest& prev, std::string_view body) {
  tAuditDigest out{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned int n = 0;
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx.get(), prev.data(), prev.size());
  EVP_DigestUpdate(ctx.get(), body.data(), body.size());
  EVP_DigestFinal_ex(ctx.get(), out.data(), &n);
  return out;
}

tAuditDigest AuditMac(std::string_view key, const tAuditDigest& chain) {
  tAuditDigest out{};
  unsigned int n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), chain.data(), chain.size(),
       out.data(), &n);
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
