// Bounds the log entries each link of an endpoint can cause: at most kEntriesPerSecond in a
// second per link. The entries past the bound are not written but counted, and one summary line
// per link and second says how many. Worker thread only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "tessel/core/log_file.h"

class iSend;

class cLogBudget {
 public:
  static constexpr unsigned kEntriesPerSecond = 10;
  static constexpr uint32_t kWindowMs = 1000;

  // True when one more entry caused by `link` fits its present second (always for no link).
  bool Take(iSend* link, uint32_t nowMs);
  // Writes a summary line for every link whose entries were left out, once its second is over,
  // and forgets the links whose second is over.
  void Report(uint32_t nowMs, cLog& log);

 private:
  struct stWindow {
    uint32_t startMs = 0;
    unsigned taken = 0;
    unsigned long skipped = 0;  // in this second
    unsigned long carried = 0;  // in seconds over but not yet reported
    unsigned id = 0;
    std::string ip;
  };

  std::unordered_map<iSend*, stWindow> m_links;
};
