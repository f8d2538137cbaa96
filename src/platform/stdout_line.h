// A line on standard output in one write of its own, for threads other than the worker (network
// threads, the audit writer): printing through std::cout from them races with whoever redirects
// that stream, and a line written piecewise can land inside another thread's. Any thread.
#pragma once

#include <string>

namespace platform {

// Writes `text` and a line end to standard output with one system call.
void PrintLine(const std::string& text);

}  // namespace platform
