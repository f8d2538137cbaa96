#include "tessel/link/password_hash.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

#include "tessel/link/account_help.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr uint64_t kMaxScryptMemory = uint64_t(1) << 30;
// About as long a check as scrypt's bound (a few seconds): 10^8 held a login check, and one of
// the login desk's two hash slots, for over a minute. Common tools make 10^5 to 10^6.
constexpr uint64_t kMaxIterations = 10000000;

struct stHash {
  bool scrypt = true;
  uint64_t n = 0;  // scrypt: N; pbkdf2: iterations
  uint32_t r = 0, p = 0;
  Bytes salt, hash;
};

std::string Base64(const Bytes& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

std::optional<Bytes> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 == 1 || text.size() > 1024) return std::nullopt;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') return std::nullopt;
  std::string padded(text);
  const size_t pad = (4 - padded.size() % 4) % 4;
  padded.append(pad, '=');
  Bytes bytes(padded.size() / 4 * 3);
  const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(padded.data()),
                                static_cast<int>(padded.size()));
  if (n < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(n) - pad);
  return bytes;
}

// A decimal number without sign or leading zeros, at most `max`.
std::optional<uint64_t> Number(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= max ? std::optional(value) : std::nullopt;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

// "ln=15,r=8,p=1", each in its bounds and the memory (128 r N) within the limit.
bool ParseScryptCost(std::string_view text, stHash& hash) {
  const std::vector<std::string_view> words = Split(text, ',');
  if (words.size() != 3 || words[0].substr(0, 3) != "ln=" || words[1].substr(0, 2) != "r=" ||
      words[2].substr(0, 2) != "p=")
    return false;
  const auto ln = Number(words[0].substr(3), 30), r = Number(words[1].substr(2), 64),
             p = Number(words[2].substr(2), 16);
  if (!ln || !r || !p || *ln == 0 || *r == 0 || *p == 0) return false;
  hash.n = uint64_t(1) << *ln;
  hash.r = static_cast<uint32_t>(*r);
  hash.p = static_cast<uint32_t>(*p);
  // p passes over the memory one after the other: p = 16 at 1 GiB held a check a minute.
  return 128 * hash.r * hash.n * hash.p <= kMaxScryptMemory;
}

std::optional<stHash> Parse(std::string_view stored) {
  const std::vector<std::string_view> parts = Split(stored, '$');
  if (parts.size() != 5 || !parts[0].empty()) return std::nullopt;
  stHash hash;
  if (parts[1] == "scrypt") {
    if (!ParseScryptCost(parts[2], hash)) return std::nullopt;
  } else if (parts[1] == "pbkdf2-sha256") {
    const auto iterations = Number(parts[2], kMaxIterations);
    if (!iterations || *iterations == 0) return std::nullopt;
    hash.scrypt = false;
    hash.n = *iterations;
  } else {
    return std::nullopt;
  }
  auto salt = FromBase64(parts[3]), derived = FromBase64(parts[4]);
  if (!salt || !derived || salt->size() < 8 || derived->size() < 16 || derived->size() > 64)
    return std::nullopt;
  hash.salt = std::move(*salt);
  hash.hash = std::move(*derived);
  return hash;
}

// Derives hash.hash.size() bytes from the password with the hash's parameters; empty on failure.
Bytes Derive(const stHash& hash, std::string_view password) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, hash.scrypt ? "SCRYPT" : "PBKDF2", nullptr);
  EVP_KDF_CTX* ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  if (ctx == nullptr) return {};
  static char empty = 0;
  void* pass = password.empty() ? &empty : const_cast<char*>(password.data());
  uint64_t n = hash.n, maxmem = kMaxScryptMemory + (uint64_t(1) << 20);
  uint32_t r = hash.r, p = hash.p;
  unsigned int iterations = static_cast<unsigned int>(hash.n);
  char digest[] = "SHA256";
  std::vector<OSSL_PARAM> params{
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, pass, password.size()),
      OSSL_PARAM_construct_octet_string(
          OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(hash.salt.data()), hash.salt.size())};
  if (hash.scrypt) {
    params.push_back(OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n));
    params.push_back(OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r));
    params.push_back(OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p));
    params.push_back(OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem));
  } else {
    params.push_back(OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations));
    params.push_back(OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0));
  }
  params.push_back(OSSL_PARAM_construct_end());
  Bytes out(hash.hash.size());
  const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params.data()) == 1;
  EVP_KDF_CTX_free(ctx);
  return ok ? out : Bytes{};
}

}  // namespace

bool IsPasswordHash(std::string_view stored) {
  return Parse(stored).has_value();
}

std::string HashPassword(std::string_view password, int logN) {
  // Checked before the shift: one by 64 or more, or by a negative count, is undefined.
  if (logN < 1 || logN > 20) return {};
  stHash hash;
  hash.n = uint64_t(1) << logN;
  hash.r = 8;
  hash.p = 1;
  hash.salt.resize(kSaltBytes);
  hash.hash.resize(kHashBytes);
  if (RAND_bytes(hash.salt.data(), kSaltBytes) != 1) return {};
  const Bytes derived = Derive(hash, password);
  if (derived.empty()) return {};
  return "$scrypt$ln=" + std::to_string(logN) + ",r=8,p=1$" + Base64(hash.salt) + "$" +
         Base64(derived);
}

bool LooksLikePasswordHash(std::string_view stored) {
  return stored.starts_with("$scrypt$") || stored.starts_with("$pbkdf2-sha256$");
}

uint64_t PasswordCheckBytes(std::string_view stored) {
  const std::optional<stHash> hash = Parse(stored);
  return hash && hash->scrypt ? 128 * uint64_t{hash->r} * (hash->n + hash->p) : 0;
}

ePasswordCheck CheckPasswordHow(std::string_view stored, std::string_view given) {
  using enum ePasswordCheck;
  if (!LooksLikePasswordHash(stored))
    return PasswordsEqual(std::string(stored), std::string(given)) ? kMatch : kMismatch;
  const std::optional<stHash> hash = Parse(stored);
  if (!hash) return kMismatch;
  const Bytes derived = Derive(*hash, given);
  if (derived.size() != hash->hash.size()) return kCannotCheck;
  return CRYPTO_memcmp(derived.data(), hash->hash.data(), derived.size()) == 0 ? kMatch : kMismatch;
}

bool CheckPassword(std::string_view stored, std::string_view given) {
  return CheckPasswordHow(stored, given) == ePasswordCheck::kMatch;
}
