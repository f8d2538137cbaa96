// The library's process-wide counts behind Net_GetCounters: links cut by reason, failed TLS
// hand-shakes, record traffic by side. Relaxed atomics; any thread.
#pragma once

#include <cstdint>

namespace netlib {

// A link is cut for `reason`; `handshakeFailed` when it was cut during its TLS hand-shake for a
// reason of its own (not because the holder let it go).
void CountCut(uint32_t reason, bool handshakeFailed);
// Records and their bytes received or sent on a client's link or on a server's links.
void CountTraffic(bool client, bool sent, uint64_t records, uint64_t bytes);

}  // namespace netlib
