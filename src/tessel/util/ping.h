// ICMP echo: measures the mean round-trip time to a host. Self-contained, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// The result of a failed set-up or network call.
constexpr unsigned long kPingFailed = 0xFFFFFFFFul;

// Sends `count` echo requests to `host` (a host name or a dotted address) and returns the mean
// round-trip time in milliseconds; a request whose reply does not come within 1000 ms counts
// 2000 ms. Returns kPingFailed when the socket cannot be opened, the name cannot be resolved
// (within kPingResolveMs) or
// a network call fails otherwise than by a time-out. A count of 0 or less sends nothing and
// returns kPingFailed. Uses a raw ICMP socket and falls back to the kernel's unprivileged ping
// socket when raw sockets are not allowed.
unsigned long Ping(const char* host, int count);

// With on, Ping never opens a raw socket: the datagram path is taken as without the rights for
// raw sockets (for tests; any thread).
void SetPingDatagramOnly(bool on);

struct addrinfo;

// A host name is looked up on a thread of its own; a lookup that has not ended after this long
// is given up (Ping fails), and its thread is left to end whenever its resolver answers.
constexpr int kPingResolveMs = 5000;

// How Ping looks a host name up (getaddrinfo's form); nullptr: getaddrinfo. For tests; any thread.
using PingResolver = int (*)(const char* host, const char* service, const addrinfo* hints,
                             addrinfo** found);
void SetPingResolver(PingResolver resolve);

// The Internet checksum (one's-complement sum of 16-bit words in memory order).
uint16_t IcmpChecksum(const void* data, size_t size);

// Size of one echo request: 8-byte header, 4-byte time stamp, 32 bytes of 0x45.
constexpr size_t kEchoRequestSize = 44;

// Builds an echo request in `out` (at least kEchoRequestSize bytes).
void BuildEchoRequest(uint8_t* out, uint16_t identifier, uint16_t sequence, uint32_t stamp);

// Decodes a reply of `n` bytes. `hasIpHeader` is true for raw sockets (the reply starts with the
// IP header). The reply is ours when it is an echo reply carrying `identifier`; then `rtt` gets
// now - stamp and `sequence` its sequence number. Prints what it finds as the echo tool does.
// A reply too short to hold the echo fields is reported and never read past its end.
bool DecodeEchoReply(const uint8_t* reply, size_t n, bool hasIpHeader, const char* from,
                     uint16_t identifier, uint32_t now, uint32_t& rtt, uint16_t& sequence);
