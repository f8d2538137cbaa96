// Checks a folder of audit trail files (audit_trail.h): every line's chain value, and with the
// key every MAC; the sequence numbers; whole lines; a closing line at the end of every run. The
// first fault found is named with its file and line. A last run whose writer still holds the
// folder's writer lock (audit_lock.h) is being written, not cut. Reads the files a line at a
// time, so a trail of any size is checked in little memory. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct stAuditVerdict {
  bool holds = false;
  std::string reason;  // one line: where and what, when it does not hold
  size_t files = 0;
  uint64_t lines = 0;
  std::string notes;  // runs that ended in a crash, told but not a fault (the first 100)
  bool live = false;  // the last run has no closing line yet: its writer is still at work
};

// `key` empty: the chain alone.
stAuditVerdict VerifyAuditTrail(const std::string& folder, const std::string& key);
// With the keys the trail was signed with, oldest first (a key made new between runs): the
// lines of each run match one key, the first or a later one than the run before.
stAuditVerdict VerifyAuditTrail(const std::string& folder, const std::vector<std::string>& keys);
