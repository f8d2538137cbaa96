#include "tessel/timers/timer_function.h"

#include <atomic>
#include <iostream>
#include <sstream>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"

namespace {

std::uint32_t MachineTick() {
  return platform::TimeGetTime();
}

std::atomic<TimerTickFunc> g_tick{&MachineTick};

}  // namespace

std::uint32_t TimerFunctionTick() {
  return g_tick.load(std::memory_order_relaxed)();
}

void SetTimerFunctionTick(TimerTickFunc tick) {
  g_tick.store(tick != nullptr ? tick : &MachineTick, std::memory_order_relaxed);
}

cTimerFunction::cTimerFunction(const char* name, unsigned long thresholdMs, int start)
    : m_szName(name != nullptr ? name : ""), m_dwThreshold(thresholdMs) {
  if (start != 0) Start();
}

cTimerFunction::~cTimerFunction() {
  if (!m_bArmed) return;
  const std::uint32_t cost = Elapsed();
  if (cost > m_dwThreshold) {
    // One insertion, so the line is not torn by other writers.
    std::ostringstream line;
    line << m_szName << " cost time " << cost << '\n';
    std::cout << line.str() << std::flush;
  }
}

cTimerFunctionTessel::cTimerFunctionTessel(const char* name, const char* param,
                                           unsigned long thresholdMs, int start)
    : cTimerFunction(name, thresholdMs, start), m_szParam(param != nullptr ? param : "") {
  ++GetTimerFunctionTesselLevel();
}

cTimerFunctionTessel::~cTimerFunctionTessel() {
  int& level = GetTimerFunctionTesselLevel();
  if (m_bArmed) {
    const std::uint32_t cost = Elapsed();
    if (cost > m_dwThreshold) {
      Report(cost, level);
      m_bArmed = false;
    }
  }
  --level;
}

std::uint32_t cTimerFunctionTessel::Finish() {
  const std::uint32_t cost = Elapsed();
  if (m_bArmed && cost > m_dwThreshold) Report(cost, GetTimerFunctionTesselLevel());
  m_bArmed = false;
  return cost;
}

void cTimerFunctionTessel::Report(std::uint32_t cost, int level) {
  std::ostringstream text;
  // The parameter is often the start of a command text, which a peer chose: one line in the file.
  text << m_szName << " 【costtime】 " << cost << " param " << EscapeControls(m_szParam)
       << " level " << level;
  platform::ColorSection red(platform::kColorLightRed);
  tessel_write(tessel_timererror(), text.str());
}
