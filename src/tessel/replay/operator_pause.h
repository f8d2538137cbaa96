// The operator's "PAUSE" of a set-up that failed and may be retried: waits for a line on the
// terminal. Without a terminal on standard input nobody can answer, so it fails at once and the
// caller gives up instead of waiting forever. Any thread (one caller at a time).
#pragma once

#include "tessel/core/worker_thread.h"

// True when the operator answered (a line was typed within the wait); false without a terminal,
// at the end of input or after the wait.
bool OperatorPause();

// Tries `attempt` until it succeeds; after each failure calls `onFailure` (the message) and
// waits for the operator. Gives up when nobody answers or after a bounded number of rounds. On
// the host's worker it never waits: every link would stop for as long as the operator takes
// (the command may even have come from a peer), and the console thread owns standard input
// there; the failure ends with the message.
template <class Attempt, class OnFailure>
bool RetryWithOperator(Attempt attempt, OnFailure onFailure) {
  constexpr int kMaxRounds = 20;
  for (int round = 0; round < kMaxRounds; ++round) {
    if (attempt()) return true;
    onFailure();
    if (IsWorkerThread() || !OperatorPause()) return false;
  }
  return false;
}
