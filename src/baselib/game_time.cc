// The game clock: minute steps, change callbacks and callbacks at a time.
#include "tessel/contracts/game_time.h"

#include <time.h>

#include <cctype>
#include <cstdint>
#include <exception>
#include <iostream>
#include <sstream>

#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"

namespace {

bool IsLeap(std::uint32_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

std::uint32_t DaysInMonth(std::uint32_t y, std::uint32_t m) {
  static const std::uint32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// A number of the text form at `p` (blanks before it skipped), moving `p` past it; false for a
// sign or a number beyond 32 bits, which would otherwise come in wrapped ("-3" as 4294967293).
bool ReadField(const char*& p, std::uint32_t& out) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  std::uint64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > UINT32_MAX) return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

// Runs one callback of the clock. What it throws is reported on one line (standard output and
// the timer error log) and goes no further: thrown out of the clock's pass, it left the pass
// marked as running, so no alarm rang again and blanked callbacks were never dropped, while the
// caller (a script's SetGameTime) only saw an error. `which` names the event, made only for the
// report.
template <class Call, class Which>
void RunCallback(Call call, Which which) {
  std::string error;
  try {
    call();
    return;
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown exception";
  }
  const std::string line =
      "cGameTime " + which() + " error " + EscapeControls(error.substr(0, 256));
  std::cout << line << std::endl;
  tessel_write(tessel_timererror(), line);
}

}  // namespace

bool stGameTime::FromString(const std::string& text) {
  std::uint32_t v[6] = {};
  const char* p = text.c_str();
  for (int i = 0; i < 6; ++i) {
    // Any one character separates two numbers.
    if (i > 0 && *p++ == '\0') return false;
    if (!ReadField(p, v[i])) return false;
  }
  // Only blanks may follow the sixth number: "10:20:5 9" or "10:20:1garbage" is no time, and
  // was taken as 10:20:5 and 10:20:1.
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (p != text.c_str() + text.size()) return false;
  m_nYear = v[0];
  m_nMonth = v[1];
  m_nDay = v[2];
  m_nHour = v[3];
  m_nMin = v[4];
  m_nSec = v[5];
  return true;
}

std::string stGameTime::ToString() const {
  std::ostringstream os;
  os << *this;
  return os.str();
}

bool stGameTime::IsValid() const {
  return m_nMonth >= 1 && m_nMonth <= 12 && m_nDay >= 1 &&
         m_nDay <= DaysInMonth(m_nYear, m_nMonth) && m_nHour < 24 && m_nMin < 60 && m_nSec < 60;
}

cGameTime& cGameTime::Instance() {
  static cGameTime instance;
  return instance;
}

cGameTime::cGameTime() {
  const time_t now = ::time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    m_nYear = static_cast<std::uint32_t>(local.tm_year + 1900);
    m_nMonth = static_cast<std::uint32_t>(local.tm_mon + 1);
    m_nDay = static_cast<std::uint32_t>(local.tm_mday);
    m_nHour = static_cast<std::uint32_t>(local.tm_hour);
    m_nMin = static_cast<std::uint32_t>(local.tm_min);
    m_nSec = static_cast<std::uint32_t>(local.tm_sec % 60);
  }
}

stGameTime cGameTime::GetGameTime() const {
  stGameTime t;
  t.m_nYear = m_nYear;
  t.m_nMonth = m_nMonth;
  t.m_nDay = m_nDay;
  t.m_nHour = m_nHour;
  t.m_nMin = m_nMin;
  t.m_nSec = m_nSec;
  return t;
}

void cGameTime::Run(unsigned long elapsedMs) {
  if (m_nTimeMul <= 0) return;
  // Kept within kMaxPendingMs, never past it (and so never overflowing).
  const std::uint64_t mul = static_cast<std::uint64_t>(m_nTimeMul);
  const std::uint64_t room = kMaxPendingMs - std::min(m_nPendingMs, kMaxPendingMs);
  m_nPendingMs += elapsedMs > room / mul ? room : elapsedMs * mul;
  for (int steps = 0; steps < kMaxStepsPerRun; ++steps) {
    const std::uint64_t toNextMinute = static_cast<std::uint64_t>(60 - m_nSec) * 1000u;
    if (m_nPendingMs < toNextMinute) break;
    if (AtLastMinute()) {
      // The calendar's last year ends here: the clock stays at its last second rather than
      // starting again at year 0.
      m_nSec = 59;
      m_nPendingMs = 0;
      return;
    }
    m_nPendingMs -= toNextMinute;
    m_nSec = 0;
    StepMinute();
  }
  const std::uint64_t toNextMinute = static_cast<std::uint64_t>(60 - m_nSec) * 1000u;
  if (m_nPendingMs < toNextMinute) {
    m_nSec += static_cast<std::uint32_t>(m_nPendingMs / 1000u);
    m_nPendingMs %= 1000u;
  }
}

void cGameTime::StepMinute() {
  const stGameTime before = GetGameTime();
  if (++m_nMin == 60) {
    m_nMin = 0;
    if (++m_nHour == 24) {
      m_nHour = 0;
      if (++m_nDay > DaysInMonth(m_nYear, m_nMonth)) {
        m_nDay = 1;
        if (++m_nMonth == 13) {
          m_nMonth = 1;
          ++m_nYear;
        }
      }
    }
  }
  FireChanges(before);
  FireReached();
}

bool cGameTime::SetGameTime(const stGameTime& t) {
  if (!t.IsValid()) return false;
  const stGameTime before = GetGameTime();
  m_nYear = t.m_nYear;
  m_nMonth = t.m_nMonth;
  m_nDay = t.m_nDay;
  m_nHour = t.m_nHour;
  m_nMin = t.m_nMin;
  m_nSec = t.m_nSec;
  m_nPendingMs = 0;
  FireChanges(before);
  FireReached();
  return true;
}

void cGameTime::FireChanges(const stGameTime& before) {
  if (before.m_nYear != m_nYear) OnYearChange();
  if (before.m_nMonth != m_nMonth) OnMonthChange();
  if (before.m_nDay != m_nDay) OnDayChange();
  if (before.m_nHour != m_nHour) OnHourChange();
  if (before.m_nMin != m_nMin) OnMinChange();
}

void cGameTime::OnGameTime(GameTimeEnum kind, unsigned long value) {
  if (kind < 0 || kind >= GameTime_Max) return;
  auto& list = m_vCallbacks[kind];
  ++m_nDispatching;
  // Callbacks added meanwhile wait for the next change; removed ones are blanked.
  const std::size_t count = list.size();
  for (std::size_t i = 0; i < count && i < list.size(); ++i) {
    iGameTimeCallback* cb = list[i];
    if (cb == nullptr) continue;
    RunCallback([&] { cb->OnGameTime(kind, value); },
                [&] { return "change " + std::to_string(kind) + "=" + std::to_string(value); });
  }
  if (--m_nDispatching == 0) {
    for (auto& l : m_vCallbacks) l.erase(std::remove(l.begin(), l.end(), nullptr), l.end());
  }
}

void cGameTime::FireReached() {
  if (!m_vFiringAt.empty()) return;  // a callback changed the clock: the outer pass goes on
  const stGameTime now = GetGameTime();
  auto end = m_mapCallbackAt.upper_bound(now);
  if (end == m_mapCallbackAt.begin()) return;
  m_vFiringAt.assign(m_mapCallbackAt.begin(), end);
  m_mapCallbackAt.erase(m_mapCallbackAt.begin(), end);
  for (std::size_t i = 0; i < m_vFiringAt.size(); ++i) {
    const stGameTime at = m_vFiringAt[i].first;
    iGameTimeCallbackAt* cb = m_vFiringAt[i].second;
    if (cb != nullptr)
      RunCallback([&] { cb->OnGameTimeAt(at); }, [&] { return "alarm " + at.ToString(); });
  }
  m_vFiringAt.clear();
}
