// The last refusals of the rights check, for Denied(): time, account, origin, function, right
// and how often. A refusal repeating one of the last 60 s (same account, origin, function and
// right) counts on that entry instead of adding one. Any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

class cDeniedLog {
 public:
  struct stEntry {
    int64_t first = 0;  // seconds since the epoch
    int64_t last = 0;
    std::string account, origin, func, right;
    int count = 1;
  };
  static constexpr size_t kKept = 128;
  static constexpr int64_t kMergeSeconds = 60;

  static cDeniedLog& Instance();
  void Note(std::string_view account, std::string_view origin, std::string_view func,
            std::string_view right);
  // One line per entry, newest last: "TIME account=A origin=O function=F right=R count=N".
  void Print(std::ostream& os) const;
  std::deque<stEntry> Entries() const;
  void Clear();
  // The clock (seconds since the epoch); null puts the system clock back. For tests.
  void SetClock(std::function<int64_t()> now);

 private:
  int64_t Now() const;

  mutable std::mutex m_lock;
  std::deque<stEntry> m_entries;
  std::function<int64_t()> m_now;
};
