// Which thread is the host's worker, for the check that functions documented "worker thread
// only" run on it. The worker marks itself while it runs; before it starts, after it stops and
// in programs without a worker, the one thread that drives the system passes the check. The
// check is an assert: it runs in debug and sanitizer builds. Any thread.
#pragma once

#include <cassert>

// The calling thread is the worker from now on (true) or no longer (false).
void MarkWorkerThread(bool running);
// True when no worker runs or the calling thread is the worker.
bool OnWorkerThread();
// True only when a worker runs and the calling thread is it.
bool IsWorkerThread();

#define TESSEL_ASSERT_WORKER() assert(OnWorkerThread())
