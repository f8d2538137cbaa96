// The hashes of the audit trail: a line's chain value is SHA-256 over the chain value of the line
// before it and the line's own text, and its MAC is HMAC-SHA256 of that chain value under the
// process's audit key. Also the key file. Pure functions; any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

using tAuditDigest = std::array<unsigned char, 32>;

// The chain value before a trail's first line.
inline constexpr tAuditDigest kAuditGenesis{};

tAuditDigest AuditChainNext(const tAuditDigest& prev, std::string_view body);
tAuditDigest AuditMac(std::string_view key, const tAuditDigest& chain);

// 64 lower-case hexadecimal digits, and back (false on anything else).
std::string AuditHex(const tAuditDigest& digest);
void AppendAuditHex(std::string& out, const tAuditDigest& digest);
bool AuditFromHex(std::string_view hex, tAuditDigest* digest);

// The key of `path` (64 hexadecimal digits, a line end allowed): false with `error` when it is
// missing or malformed. A key file must be readable by its owner alone.
bool LoadAuditKey(const std::string& path, std::string* key, std::string* error);
// Loads the key, or makes a new random one (mode 0600) when the file does not exist; a key
// file open to others is closed to them first, and `warning` then says so (whoever read the key
// could make lines its MACs pass).
bool LoadOrMakeAuditKey(const std::string& path, std::string* key, std::string* error,
                        std::string* warning);
