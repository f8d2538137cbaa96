#include "tessel/link/login_throttle.h"

#include <algorithm>

namespace {

// Account names a summary line shows at most, and the bytes of each.
constexpr size_t kSummaryAccounts = 3;
constexpr size_t kShownNameBytes = 32;
// The key that stands for every key that finds the table full.
const std::string kOverflowKey = "*";

// A name the peer chose, as a log line may show it: printable ASCII, cut short.
std::string Shown(const std::string& name) {
  std::string shown = name.substr(0, kShownNameBytes);
  for (char& c : shown)
    if (c < 0x21 || c > 0x7E) c = '?';
  return shown;
}

}  // namespace

cLoginThrottle::stKey* cLoginThrottle::Find(const std::string& name, int64_t now) {
  auto it = m_keys.find(name);
  if (it == m_keys.end() && m_keys.size() >= kMaxKeys) it = m_keys.find(kOverflowKey);
  if (it == m_keys.end()) return nullptr;
  stKey& key = it->second;
  const bool quiet = key.failures.empty() || key.failures.back() <= now - kWindowMs;
  if (key.slowed && quiet && key.busy == 0) key = stKey{};
  return &key;
}

cLoginThrottle::stKey& cLoginThrottle::Key(const std::string& name, int64_t now) {
  if (stKey* key = Find(name, now)) return *key;
  return m_keys[m_keys.size() >= kMaxKeys ? kOverflowKey : name];
}

bool cLoginThrottle::Ready(const stKey* key, int64_t now) const {
  return key == nullptr || !key->slowed || (key->busy == 0 && now >= key->readyAt);
}

bool cLoginThrottle::IsSlowed(const std::string& address, int64_t now) {
  const stKey* key = Find("a " + address, now);
  return key != nullptr && key->slowed;
}

bool cLoginThrottle::MayAnswer(const std::string& address, const std::string& account,
                               int64_t now) {
  return Ready(Find("a " + address, now), now) &&
         (Known(address, account, now) || Ready(Find("n " + account, now), now));
}

bool cLoginThrottle::Known(const std::string& address, const std::string& account,
                           int64_t now) const {
  const auto it = m_known.find(account + '\0' + address);
  return it != m_known.end() && now - it->second < kKnownMs;
}

void cLoginThrottle::LoggedIn(const std::string& address, const std::string& account, int64_t now) {
  const std::string pair = account + '\0' + address;
  if (m_known.size() >= kMaxKnown && m_known.count(pair) == 0)
    m_known.erase(std::min_element(m_known.begin(), m_known.end(),
                                   [](auto& a, auto& b) { return a.second < b.second; }));
  m_known[pair] = now;
}

void cLoginThrottle::Begin(const std::string& address, const std::string& account, int64_t now) {
  ++Key("a " + address, now).busy;
  ++Key("n " + account, now).busy;
}

void cLoginThrottle::Abandoned(const std::string& address, const std::string& account,
                               int64_t now) {
  for (const std::string& name : {"a " + address, "n " + account}) {
    stKey& key = Key(name, now);
    key.busy = std::max(0, key.busy - 1);
  }
}

// A failure slows the key once kFailures of them fall within a minute; every answer of a slowed
// key sets the time of its next answer and doubles the wait after that, up to the cap.
void cLoginThrottle::Count(stKey& key, bool failed, int64_t now) {
  key.busy = std::max(0, key.busy - 1);
  if (failed) {
    key.failures.push_back(now);
    if (key.failures.size() > static_cast<size_t>(kFailures)) key.failures.pop_front();
  }
  if (key.slowed) {
    key.readyAt = now + std::min(key.delay, m_nMaxDelayMs);
    key.delay = std::min(key.delay * 2, m_nMaxDelayMs);
  } else if (failed && key.failures.size() == static_cast<size_t>(kFailures) &&
             key.failures.front() > now - kWindowMs) {
    key.slowed = true;
    key.readyAt = now + std::min(kFirstDelayMs, m_nMaxDelayMs);
    key.delay = std::min(2 * kFirstDelayMs, m_nMaxDelayMs);
  }
}

void cLoginThrottle::Answered(const std::string& address, const std::string& account, bool failed,
                              int64_t now) {
  Count(Key("a " + address, now), failed, now);
  Count(Key("n " + account, now), failed, now);
  if (!failed) return;
  stSummary& summary = m_summaries[m_summaries.size() >= kMaxKeys ? kOverflowKey : address];
  if (summary.failed + summary.unanswered == 0) summary.since = now;
  ++summary.failed;
  if (summary.accounts.size() < kSummaryAccounts) summary.accounts.insert(Shown(account));
}

void cLoginThrottle::Unanswered(const std::string& address, int64_t now) {
  stSummary& summary = m_summaries[m_summaries.size() >= kMaxKeys ? kOverflowKey : address];
  if (summary.failed + summary.unanswered == 0) summary.since = now;
  ++summary.unanswered;
}

void cLoginThrottle::Forget(int64_t now) {
  for (auto it = m_keys.begin(); it != m_keys.end();) {
    const stKey& key = it->second;
    const bool quiet = key.failures.empty() || key.failures.back() <= now - kWindowMs;
    it = quiet && key.busy == 0 ? m_keys.erase(it) : std::next(it);
  }
}

std::vector<std::string> cLoginThrottle::TakeSummaries(int64_t now) {
  Forget(now);
  std::vector<std::string> lines;
  for (auto it = m_summaries.begin(); it != m_summaries.end();) {
    const stSummary& summary = it->second;
    if (now - summary.since < kWindowMs) {
      ++it;
      continue;
    }
    std::string line = "login failures from " + Shown(it->first) +
                       " in the last minute: " + std::to_string(summary.failed) + " failed, " +
                       std::to_string(summary.unanswered) + " not taken, accounts";
    for (const std::string& account : summary.accounts) line += " " + account;
    lines.push_back(line);
    it = m_summaries.erase(it);
  }
  return lines;
}
