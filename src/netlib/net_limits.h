// Every constant of the network library in one place: defaults of the link parameters, timer
// periods and buffer sizes. Read-only; any thread.
#pragma once

#include <cstdint>

namespace netlib {

inline constexpr uint32_t kDefaultMaxRecord = 102400;      // largest record either way
inline constexpr uint32_t kDefaultSendQueueKB = 512;       // bound of unsent bytes
inline constexpr uint32_t kQueueWarnShare = 2;             // warn at 1/2 of the bound
inline constexpr uint32_t kMaxInternalFrame = 64;          // ping, answers, hand-shake
inline constexpr uint32_t kFloodWindowMs = 1000;           // window of the flood limits
inline constexpr uint32_t kInvalidRecordLimit = 16;        // invalid records before a cut
inline constexpr uint32_t kGuestFloodRecords = 1000;       // flood limits of a link that has
inline constexpr uint64_t kGuestFloodBytes = 1 << 20;      // not logged in (with a deadline)
inline constexpr uint32_t kConnectTimeoutMs = 10000;       // a connect that takes longer fails
inline constexpr uint32_t kLingerMs = 2000;                // a cut link waits this long for its
                                                           // reason record and the peer's close
inline constexpr uint32_t kDefaultCheckMs = 200;           // period of the server's link check
inline constexpr uint32_t kReadBufferBytes = 256 * 1024;   // per I/O thread
inline constexpr uint32_t kReadBudgetBytes = 1024 * 1024;  // per turn of one link, then yield
inline constexpr uint32_t kSendKeepBytes = 64 * 1024;      // send buffers kept by an idle link
inline constexpr uint32_t kSendBurstKeepBytes = 1 << 20;   // kept when a busy queue runs empty
inline constexpr uint32_t kPartialFirstBytes = 4096;       // first block of a split frame
inline constexpr uint32_t kDirectWriteBytes = 8192;        // written by the sending thread
inline constexpr uint32_t kTakeOverBytes = 49152;          // ... while a write turn waits
inline constexpr uint32_t kStreamGapUs = 50;               // large records closer than this
                                                           // leave in batches
inline constexpr uint32_t kWriteBatchBytes = 256 * 1024;   // most a writer takes at once
inline constexpr uint32_t kCoalesceBytes = 16384;          // less waits one turn for more
inline constexpr uint32_t kClientIdleCheckMaxMs = 1000;    // longest period of a client's
                                                           // idle check
inline constexpr unsigned kDefaultIoThreads = 2;           // TESSEL_NET_THREADS overrides
inline constexpr uint32_t kMaxLinkId = 65535;
inline constexpr uint32_t kMaxRecordLimit = 0x3fff0000;  // the length word keeps its top bits
inline constexpr uint32_t kPackMinBytes = 128;           // smaller records travel unpacked
inline constexpr uint32_t kTlsHandshakeMs = 10000;       // a TLS hand-shake that takes longer
                                                         // is cut (reason 12)

}  // namespace netlib
