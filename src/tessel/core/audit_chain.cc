#include "tessel/core/audit_chain.h"

#include <fcntl.h>
// The plain SHA-256 functions are kept by OpenSSL 3 though marked as superseded.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/descriptors.h"
#include "platform/home_file.h"
#include "tessel/util/text_file_util.h"

namespace {

constexpr size_t kKeyBytes = 32;
// Of a key file, no more than its first bytes are read (the key is its first line), and a pipe
// is waited for this long at most: a key path naming a device or a FIFO without a writer fails,
// never holds.
constexpr size_t kKeyFileBytes = 256;
constexpr int kKeyWaitMs = 5000;

// The trail hashes every line three times (its chain value, then the MAC's inner and outer
// digests), mostly short inputs, where the digest interface's per-call work (dispatch through
// the provider) costs more than the hashing: the writer uses the plain SHA-256 functions, and
// keeps the MAC key's padded blocks hashed once (HMAC's inner and outer starting states).
struct stMacStates {
  std::string key;
  SHA256_CTX inner{};
  SHA256_CTX outer{};
};

const stMacStates& MacStatesOf(std::string_view key) {
  constexpr size_t kBlock = 64;
  thread_local stMacStates states;
  thread_local bool made = false;
  if (made && states.key == key) return states;
  unsigned char block[kBlock] = {};
  if (key.size() > kBlock)
    SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), block);
  else if (!key.empty())
    std::memcpy(block, key.data(), key.size());
  unsigned char pad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  SHA256_Init(&states.inner);
  SHA256_Update(&states.inner, pad, kBlock);
  for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  SHA256_Init(&states.outer);
  SHA256_Update(&states.outer, pad, kBlock);
  OPENSSL_cleanse(block, sizeof block);
  OPENSSL_cleanse(pad, sizeof pad);
  states.key.assign(key);
  made = true;
  return states;
}

// Writes `text` as the new file `path` (mode 0600), whole or not at all: unnamed in its folder,
// synced, then linked under its name, and its folder synced (lost to a power loss, the name took
// the key every line was signed with, and a new key was made at the next start). Where the file
// system has no unnamed files, it is written in place and taken away again when a write fails.
// False with `why` 0 when no file could be made, else its errno.
bool MakeKeyFile(const std::string& path, const std::string& text, int& why) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  const bool unnamed = fd >= 0;
  if (!unnamed) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  why = 0;
  if (fd < 0) return false;
  bool made = platform::WriteAll(fd, text) && ::fsync(fd) == 0;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  made = made && (!unnamed ||
                  ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0);
  why = made ? 0 : errno;
  if (made) platform::SyncFolderOf(AT_FDCWD, path);  // the key is in place whatever it says
  ::close(fd);
  if (!made && !unnamed) ::unlink(path.c_str());
  return made;
}

}  // namespace

tAuditDigest AuditChainNext(const tAuditDigest& prev, std::string_view body) {
  SHA256_CTX sha;
  SHA256_Init(&sha);
  SHA256_Update(&sha, prev.data(), prev.size());
  SHA256_Update(&sha, body.data(), body.size());
  tAuditDigest out{};
  SHA256_Final(out.data(), &sha);
  return out;
}

// HMAC-SHA256 (RFC 2104) of the chain value.
tAuditDigest AuditMac(std::string_view key, const tAuditDigest& chain) {
  const stMacStates& states = MacStatesOf(key);
  SHA256_CTX sha = states.inner;
  SHA256_Update(&sha, chain.data(), chain.size());
  tAuditDigest inner{}, out{};
  SHA256_Final(inner.data(), &sha);
  sha = states.outer;
  SHA256_Update(&sha, inner.data(), inner.size());
  SHA256_Final(out.data(), &sha);
  OPENSSL_cleanse(&sha, sizeof sha);
  return out;
}

// The two hexadecimal digits of every byte value, so that a digest's text is a copy per byte.
constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (size_t i = 0; i < 256; ++i) {
    pairs[2 * i] = kDigits[i >> 4];
    pairs[2 * i + 1] = kDigits[i & 15];
  }
  return pairs;
}();

void AppendAuditHex(std::string& out, const tAuditDigest& digest) {
  const size_t at = out.size();
  out.resize(at + 2 * digest.size());
  char* hex = out.data() + at;
  for (size_t i = 0; i < digest.size(); ++i)
    std::memcpy(hex + 2 * i, kHexPairs.data() + 2 * digest[i], 2);
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
  std::string text;
  if (!platform::ReadFirstLine(path, kKeyFileBytes, kKeyWaitMs, text)) {
    *error = "cannot read the audit key " + path;
    return false;
  }
  // A copy a Windows editor saved: its CR LF line end and byte-order mark are no part of the key
  // (kept, the process wrote no audit trail).
  if (!text.empty() && text.back() == '\r') text.pop_back();
  DropByteOrderMark(text);
  tAuditDigest raw{};
  if (!AuditFromHex(text, &raw)) {
    *error = "the audit key " + path + " is not 64 hexadecimal digits";
    return false;
  }
  key->assign(reinterpret_cast<const char*>(raw.data()), raw.size());
  return true;
}

bool LoadOrMakeAuditKey(const std::string& path, std::string* key, std::string* error,
                        std::string* warning) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      const bool closed = ::chmod(path.c_str(), 0600) == 0;
      *warning = "the audit key " + path + " was open to others (mode " + mode + ")" +
                 (closed ? ", it is 0600 now" : " and cannot be closed") +
                 ": whoever read it can forge the trail; remove it (keep a copy to verify the "
                 "files so far) and start again to make a new one";
    }
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
  // A key that is not on the disk whole (a full disk, or the process killed while writing it) is
  // never left under the key's name: left short or empty, it would keep every later start
  // without a trail.
  int why = 0;
  if (!MakeKeyFile(path, AuditHex(raw) + "\n", why)) {
    *error = why == 0 ? "cannot make the audit key " + path
                      : "cannot write the audit key " + path + ": " + std::strerror(why);
    return false;
  }
  key->assign(reinterpret_cast<const char*>(raw.data()), raw.size());
  return true;
}
