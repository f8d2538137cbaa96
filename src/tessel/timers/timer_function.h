// Cost guards: scoped objects that note when an operation started and report it when it took
// longer than a threshold. cTimerFunctionTessel also counts how deeply guards are nested and
// writes its report to the "tessel.timererror" logger. Any thread; each guard stays on one.
#pragma once

#include <cstdint>

// The millisecond tick the guards read (the machine's monotonic clock, wrapping at 32 bits).
using TimerTickFunc = std::uint32_t (*)();
std::uint32_t TimerFunctionTick();
// Replaces the tick source (null restores the machine's clock); tests use it.
void SetTimerFunctionTick(TimerTickFunc tick);

// A start tick and whether the timer is armed.
class cTimer {
 public:
  cTimer() = default;
  void Start() {
    m_dwStart = TimerFunctionTick();
    m_bArmed = true;
  }
  bool IsArmed() const { return m_bArmed; }
  void Disarm() { m_bArmed = false; }
  // Milliseconds since Start.
  std::uint32_t Elapsed() const { return TimerFunctionTick() - m_dwStart; }

 protected:
  std::uint32_t m_dwStart = 0;
  bool m_bArmed = false;
};

// On destruction, when armed and over the threshold, writes `name` " cost time " and the
// elapsed milliseconds as one line to standard output. The name is not copied.
class cTimerFunction : public cTimer {
 public:
  cTimerFunction(const char* name, unsigned long thresholdMs, int start);
  ~cTimerFunction();
  cTimerFunction(const cTimerFunction&) = delete;
  cTimerFunction& operator=(const cTimerFunction&) = delete;

 protected:
  const char* m_szName;
  unsigned long m_dwThreshold;
};

// The guard of commands and script work. Construction raises the nesting counter
// (GetTimerFunctionTesselLevel); destruction, when armed and over the threshold, writes in a
// light-red section to "tessel.timererror" at level 1000: name " 【costtime】 " ms " param "
// param " level " the nesting counter, disarms itself (so the base guard stays silent) and
// then lowers the counter. With start = 0 the guard is not armed until Start() is called.
// Name and parameter texts are not copied and must outlive the guard.
class cTimerFunctionTessel : public cTimerFunction {
 public:
  cTimerFunctionTessel(const char* name, const char* param, unsigned long thresholdMs, int start);
  ~cTimerFunctionTessel();
  // Ends the guard's timing now: reads the clock once, reports as the destructor would when
  // armed and over the threshold, and disarms (the destructor then only lowers the counter).
  // Returns the milliseconds since Start.
  std::uint32_t Finish();

 private:
  void Report(std::uint32_t cost, int level);

  const char* m_szParam;
};
