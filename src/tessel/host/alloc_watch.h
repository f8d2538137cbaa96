// The allocation debugging aids read when the host is made: "allocbreak.ini" (every number in
// it is echoed as "_CrtSetBreakAlloc <n>") and "allocsize.ini" (the allocation log file's name
// and the watched allocation-size pair, the pair the OS group's SetAlloc sets). Any thread.
#pragma once

void LoadAllocationAids();
