#include "tessel/core/denied_log.h"

#include <chrono>
#include <ctime>

#include "platform/text_clean.h"

namespace {

std::string UtcText(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

cDeniedLog& cDeniedLog::Instance() {
  static auto* log = new cDeniedLog;
  return *log;
}

int64_t cDeniedLog::Now() const {
  if (m_now) return m_now();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void cDeniedLog::Note(std::string_view account, std::string_view origin, std::string_view func,
                      std::string_view right) {
  std::lock_guard<std::mutex> hold(m_lock);
  const int64_t now = Now();
  // A merge moves an entry's last time past those of the entries after it: every entry is
  // looked at, not only the run of recent ones at the end.
  for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
    if (now - it->last < kMergeSeconds && it->account == account && it->origin == origin &&
        it->func == func && it->right == right) {
      ++it->count;
      it->last = now;
      return;
    }
  }
  m_entries.push_back(stEntry{now, now, std::string(account), std::string(origin),
                              std::string(func), std::string(right), 1});
  if (m_entries.size() > kKept) m_entries.pop_front();
}

// An origin another process sent chose its bytes: the console shows its controls escaped.
void cDeniedLog::Print(std::ostream& os) const {
  for (const stEntry& entry : Entries())
    os << UtcText(entry.last) << " account=" << EscapeControls(entry.account)
       << " origin=" << EscapeControls(entry.origin) << " function=" << EscapeControls(entry.func)
       << " right=" << entry.right << " count=" << entry.count << "\n";
}

std::deque<cDeniedLog::stEntry> cDeniedLog::Entries() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_entries;
}

void cDeniedLog::Clear() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_entries.clear();
}

void cDeniedLog::SetClock(std::function<int64_t()> now) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_now = std::move(now);
}
