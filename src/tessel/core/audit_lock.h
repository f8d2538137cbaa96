// The lock that tells a trail folder's writer is alive: the process writing the trail holds an
// advisory lock on "writer.lock" in the folder (its pid inside) for as long as it writes, and a
// check asks for it without waiting. The kernel lets go of it when the process ends, however it
// ends. Any thread.
#pragma once

#include <string>

// Takes the folder's writer lock, waiting at most `waitMs` for a holder to let go (a check
// holds it for a moment); the lock's descriptor, whose close lets go of it. -1 when it cannot be
// had: `held` then says who holds it, and stays empty when no lock could be made (a file of
// another kind in its place).
int TakeAuditWriterLock(const std::string& folder, int waitMs, std::string* held);
// The pid of the live process that holds the folder's writer lock; empty when none holds it.
std::string AuditWriterHolder(const std::string& folder);
