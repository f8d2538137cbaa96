// The "press a key" pause after a failure an operator must see. Main thread only.
#pragma once

namespace platform {

// Waits for one key when standard input is a terminal and returns true; without a terminal it
// returns false at once instead of waiting forever.
bool WaitOneKey();

}  // namespace platform
