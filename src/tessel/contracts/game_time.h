// The game clock: a calendar (year, month, day, hour, minute, second) that advances by the
// elapsed real time times a multiplier, and the callbacks run on each change of its fields or
// when it reaches a registered time. Worker thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

enum GameTimeEnum : int {
  GameTime_Year = 0,
  GameTime_Month = 1,
  GameTime_Day = 2,
  GameTime_Hour = 3,
  GameTime_Min = 4,
  GameTime_Max = 5,
};

// A game time. Ordering compares year, month, day, hour and minute; seconds do not count.
struct stGameTime {
  std::uint32_t m_nYear = 0;
  std::uint32_t m_nMonth = 0;
  std::uint32_t m_nDay = 0;
  std::uint32_t m_nHour = 0;
  std::uint32_t m_nMin = 0;
  std::uint32_t m_nSec = 0;

  bool operator<(const stGameTime& o) const {
    if (m_nYear != o.m_nYear) return m_nYear < o.m_nYear;
    if (m_nMonth != o.m_nMonth) return m_nMonth < o.m_nMonth;
    if (m_nDay != o.m_nDay) return m_nDay < o.m_nDay;
    if (m_nHour != o.m_nHour) return m_nHour < o.m_nHour;
    return m_nMin < o.m_nMin;
  }
  // Reads six numbers with one separator character between each two ("2006/5/1 10:20:59"),
  // blanks after them allowed; false (and nothing changed) when the text does not hold them (a
  // sign or a number beyond 32 bits is none) or holds more.
  bool FromString(const std::string& text);
  // Writes year "/" month "/" day " " hour ":" minute ":" second.
  std::string ToString() const;
  // Whether the fields form a real date and time (month 1-12, day within the month, ...).
  bool IsValid() const;
};

inline std::ostream& operator<<(std::ostream& os, const stGameTime& t) {
  return os << t.m_nYear << '/' << t.m_nMonth << '/' << t.m_nDay << ' ' << t.m_nHour << ':'
            << t.m_nMin << ':' << t.m_nSec;
}

class iGameTimeCallback {
 public:
  // A field changed: `kind` says which, `value` is its new value.
  virtual void OnGameTime(GameTimeEnum kind, unsigned long value) = 0;

 protected:
  ~iGameTimeCallback() = default;
};

class iGameTimeCallbackAt {
 public:
  // The clock reached (or passed) the time this callback was registered for. Runs once: the
  // entry is removed before the call.
  virtual void OnGameTimeAt(const stGameTime& at) = 0;

 protected:
  ~iGameTimeCallbackAt() = default;
};

// Game time advances in Run by elapsedMs x multiplier milliseconds (a multiplier of 0 or less
// stops it). The clock steps one minute at a time and every step runs the change callbacks of
// each field that changed, in the order year, month, day, hour, minute, then the callbacks
// registered for a time now reached. One Run takes at most kMaxStepsPerRun minute steps; time
// beyond that is kept, up to kMaxPendingMs, and taken by the next Runs. The clock starts at the
// local time and stops at the last second of year 4294967295. A callback that throws is reported
// on one line (standard output and "tessel.timererror") and the others go on.
class cGameTime {
 public:
  static constexpr int kMaxStepsPerRun = 44640;  // 31 days of minutes
  // A year of game time: what a huge multiplier adds beyond it the clock could never take, and
  // would go on taking long after the multiplier was set back.
  static constexpr std::uint64_t kMaxPendingMs = 366ull * 24 * 3600 * 1000;

  static cGameTime& Instance();
  cGameTime();
  cGameTime(const cGameTime&) = delete;
  cGameTime& operator=(const cGameTime&) = delete;

  void Run(unsigned long elapsedMs);
  // Runs the callbacks registered for `kind` with the new value.
  void OnGameTime(GameTimeEnum kind, unsigned long value);
  // Sets the clock (false and nothing changed for an invalid time); runs the change callbacks
  // of the fields that differ, once each, and those registered for a time now reached.
  bool SetGameTime(const stGameTime& t);
  stGameTime GetGameTime() const;

  bool IsDay() const { return m_nHour >= 8 && m_nHour <= 16; }
  bool IsNight() const { return !IsDay(); }
  // From 23:00 to 02:59.
  bool IsMidNight() const { return m_nHour >= 23 || m_nHour < 3; }

  void OnYearChange() { OnGameTime(GameTime_Year, m_nYear); }
  void OnMonthChange() { OnGameTime(GameTime_Month, m_nMonth); }
  void OnDayChange() { OnGameTime(GameTime_Day, m_nDay); }
  void OnHourChange() { OnGameTime(GameTime_Hour, m_nHour); }
  void OnMinChange() { OnGameTime(GameTime_Min, m_nMin); }

  void SetTimeMul(int mul) { m_nTimeMul = mul; }
  int GetTimeMul() const { return m_nTimeMul; }

  void RegistCallback(GameTimeEnum kind, iGameTimeCallback* cb) {
    if (kind < 0 || kind >= GameTime_Max || cb == nullptr) return;
    m_vCallbacks[kind].push_back(cb);
  }
  // Safe from inside a callback: the entry is blanked and dropped after the dispatch.
  void UnregistCallback(GameTimeEnum kind, iGameTimeCallback* cb) {
    if (kind < 0 || kind >= GameTime_Max) return;
    auto& list = m_vCallbacks[kind];
    std::replace(list.begin(), list.end(), cb, static_cast<iGameTimeCallback*>(nullptr));
    if (m_nDispatching == 0) list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
  }
  void RegistCallbackAt(const stGameTime& at, iGameTimeCallbackAt* cb) {
    if (cb != nullptr) m_mapCallbackAt.emplace(at, cb);
  }
  void UnregistCallbackAt(const stGameTime& at, iGameTimeCallbackAt* cb) {
    auto range = m_mapCallbackAt.equal_range(at);
    for (auto it = range.first; it != range.second;) {
      it = it->second == cb ? m_mapCallbackAt.erase(it) : std::next(it);
    }
    for (auto& f : m_vFiringAt) {
      if (f.second == cb && !(f.first < at) && !(at < f.first)) f.second = nullptr;
    }
  }

 private:
  bool AtLastMinute() const {
    return m_nYear == UINT32_MAX && m_nMonth == 12 && m_nDay == 31 && m_nHour == 23 && m_nMin == 59;
  }
  void StepMinute();
  void FireChanges(const stGameTime& before);
  void FireReached();

  std::uint32_t m_nYear = 2000;
  std::uint32_t m_nMonth = 1;
  std::uint32_t m_nDay = 1;
  std::uint32_t m_nHour = 0;
  std::uint32_t m_nMin = 0;
  std::uint32_t m_nSec = 0;
  std::uint64_t m_nPendingMs = 0;  // game milliseconds not yet turned into seconds
  int m_nTimeMul = 1;
  std::vector<iGameTimeCallback*> m_vCallbacks[GameTime_Max];
  std::multimap<stGameTime, iGameTimeCallbackAt*> m_mapCallbackAt;
  std::vector<std::pair<stGameTime, iGameTimeCallbackAt*>> m_vFiringAt;
  int m_nDispatching = 0;
};
