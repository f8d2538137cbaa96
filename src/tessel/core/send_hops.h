// The hop count a command sent now with an origin goes with: the count of the command being
// served (its own origin's plus one), lent to the code that command leaves to run later, so
// that a text sending itself round between processes ends at the bound also when one leg waits
// (StartYield). 0 outside every scope: commands typed here, and their code. Worker thread only.
#pragma once

#include <cstdint>

class cSendHopsScope {
 public:
  explicit cSendHopsScope(uint32_t hops);
  ~cSendHopsScope();
  cSendHopsScope(const cSendHopsScope&) = delete;
  cSendHopsScope& operator=(const cSendHopsScope&) = delete;

  // The count of the innermost scope, 0 without one.
  static uint32_t Current();

 private:
  uint32_t m_nFormer;
};
