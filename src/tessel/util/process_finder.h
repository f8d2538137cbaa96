// Finding and ending processes by the file name of their program, on /proc. Any thread; each
// call reads what it needs and keeps nothing.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The ids of the running processes (ended ones waiting for their parent left out) whose program
// file name (the part after the last '/') equals `name` ignoring case, in ascending id order. The
// program file is /proc/<pid>/exe; when it cannot be read, the process's short name (comm) stands
// in for it.
std::vector<pid_t> ListProcessesByName(const char* name);

// Whether a process whose program file name is `name` runs.
bool FindProcessByName(const char* name);

// Ends the first such process (lowest id): asks it to close (SIGTERM), waits up to 5 s for it
// to end, then kills it (SIGKILL). True when it ended, or when the kill was delivered.
bool KillProcessByName(const char* name);

// Sends signals on behalf of KillProcessByName; tests replace it to confine the signals to the
// processes they started. Default: kill(2). Returns 0 on success, like kill(2).
using SignalSender = std::function<int(pid_t, int)>;
void SetProcessSignalSender(SignalSender sender);
