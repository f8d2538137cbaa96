// The allocation debugging aids read when the host is made: "allocbreak.ini" (every number in
// it is echoed as "_CrtSetBreakAlloc <n>") and "allocsize.ini" (the allocation log file's name
// and the watched allocation-size pair). Any thread.
#pragma once

#include <utility>

void LoadAllocationAids();

// The watched allocation-size pair (also set by an operating-system console command).
void SetAllocWatch(int first, int second);
std::pair<int, int> GetAllocWatch();
