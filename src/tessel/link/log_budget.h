// Bounds the log entries each link of an endpoint can cause: at most kEntriesPerSecond in a
// second per link. The entries past the bound are not written but counted, and one summary line
// per link and second says how many. cEventBudget bounds the lines an endpoint writes about its
// links coming and going, whoever connects. Worker thread only.
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

// Bounds the lines an endpoint writes about link events (created, connected, disconnected): at
// most kLinesPerSecond a second in all. Each new connection is a new link, so a per-link bound
// does not hold back a peer that opens and closes connections by the thousand; this one does,
// and it holds back only the lines, never the links.
class cEventBudget {
 public:
  static constexpr unsigned kLinesPerSecond = 30;

  // True when one more line fits the present second.
  bool Take(uint32_t nowMs);
  // The lines left out in seconds that are over, counted once: 0 while none or the second runs.
  unsigned long TakeLeftOut(uint32_t nowMs);

 private:
  uint32_t m_startMs = 0;
  unsigned m_taken = 0;
  unsigned long m_skipped = 0;  // in the present second
  unsigned long m_carried = 0;  // in seconds over but not yet reported
};
