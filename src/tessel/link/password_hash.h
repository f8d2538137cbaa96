// Passwords at rest: a salted slow hash in a self-describing form that the account files may hold
// in place of the clear password, and the check of a given password against either, in constant
// time. Pure and thread-safe: any thread (a check takes tens of milliseconds and as much memory as
// its parameters say, so the server runs it off its worker).
//   $scrypt$ln=<log2 N>,r=<r>,p=<p>$<salt>$<hash>    scrypt (OpenSSL's SCRYPT KDF)
//   $pbkdf2-sha256$<iterations>$<salt>$<hash>         PBKDF2 with HMAC-SHA-256
// Salt and hash are base64 without padding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// scrypt's cost of a new hash: N = 2^15, r = 8, p = 1 (32 MiB, about 0.1 s a check).
inline constexpr int kDefaultScryptLogN = 15;

// Whether `stored` is a well-formed hash of one of the forms above.
bool IsPasswordHash(std::string_view stored);
// Whether `stored` begins like one of the forms above (well-formed or not).
bool LooksLikePasswordHash(std::string_view stored);
// A new scrypt hash of `password` with a fresh 16-byte salt and cost 2^logN; empty when it
// cannot be made.
std::string HashPassword(std::string_view password, int logN = kDefaultScryptLogN);
// What a check found: the password, another one, or nothing since the hash could not be derived
// at all (scrypt could not get its memory under the process's limits, OpenSSL refused its
// parameters or failed); the last matches nothing and is no wrong password.
enum class ePasswordCheck { kMatch, kMismatch, kCannotCheck };
// Whether `given` is the password `stored` holds: a hash form is derived again from `given` and
// compared, any other value is the clear password; both in constant time. A value that begins
// like a hash form but is none (malformed, scrypt memory or work N r p over 1 GiB's worth, more
// than 10^7 iterations) matches nothing: its text must not become the password.
// The memory a check of `stored` takes in bytes: scrypt's 128 r (N + p); 0 for other forms.
uint64_t PasswordCheckBytes(std::string_view stored);
ePasswordCheck CheckPasswordHow(std::string_view stored, std::string_view given);
bool CheckPassword(std::string_view stored, std::string_view given);
