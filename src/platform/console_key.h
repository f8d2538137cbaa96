// The "press a key" pause after a failure an operator must see. Main thread only.
#pragma once

namespace platform {

// Waits for one key when standard input is a terminal and returns true; without a terminal, or
// once the process is ending (CancelKeyWaits), it returns false instead of waiting forever.
bool WaitOneKey();

// Ends the waits for a key, the present one and every later one: the process is ending (a
// SIGTERM while the start waits after a failure). Any thread.
void CancelKeyWaits();

}  // namespace platform
