// Slows password guessing. After kFailures failed logins within a minute from one peer address,
// or on one account, that key is slowed: its attempts are answered one at a time, the next only
// after a delay that starts at 1 s and doubles with each answer up to a cap (which the server keeps
// below its login deadline, so that a right password is never cut by it). There is no lockout:
// a right password is answered like any attempt once its turn has come. A key is forgotten after
// a minute without failures. An address the account logged in from before goes past the
// account's slowing (its own address key still holds): guesses at the account from elsewhere,
// however many addresses they come from, do not keep its operator waiting behind them past the
// login deadline. Failures and unanswered attempts are counted per address for one
// summary line per address and minute. Times are milliseconds of one steady clock, given by the
// caller. Worker thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class cLoginThrottle {
 public:
  static constexpr int kFailures = 5;
  static constexpr int64_t kWindowMs = 60000;
  static constexpr int64_t kFirstDelayMs = 1000;
  // Keys kept at most; past it, new keys share one (slowed together rather than forgotten).
  static constexpr size_t kMaxKeys = 65536;

  // An account's logins from an address are remembered this long after the last, at most this
  // many pairs (past it the oldest is forgotten).
  static constexpr int64_t kKnownMs = 30LL * 24 * 3600 * 1000;
  static constexpr size_t kMaxKnown = 4096;

  explicit cLoginThrottle(int64_t maxDelayMs = 30000) : m_nMaxDelayMs(maxDelayMs) {}
  void SetMaxDelay(int64_t ms) { m_nMaxDelayMs = ms; }
  int64_t GetMaxDelay() const { return m_nMaxDelayMs; }

  // Whether the address is slowed now.
  bool IsSlowed(const std::string& address, int64_t now);
  // Whether an attempt from `address` on `account` may be answered now: each of the two keys
  // that is slowed has its delay behind it and no attempt being answered; the account's key is
  // not asked when the account logged in from the address before.
  bool MayAnswer(const std::string& address, const std::string& account, int64_t now);
  // An attempt is being answered: its keys are busy until Answered or Abandoned.
  void Begin(const std::string& address, const std::string& account, int64_t now);
  // It was answered: a failure counts on both keys, and each slowed key waits from now.
  void Answered(const std::string& address, const std::string& account, bool failed, int64_t now);
  // The account logged in from the address.
  void LoggedIn(const std::string& address, const std::string& account, int64_t now);
  // It will not be answered (its link went down).
  void Abandoned(const std::string& address, const std::string& account, int64_t now);
  // An attempt that was not taken (its link had one waiting already), for the summary.
  void Unanswered(const std::string& address, int64_t now);
  // The summary lines whose minute has passed, one per address with failures or unanswered
  // attempts; the keys idle for a minute are forgotten meanwhile.
  std::vector<std::string> TakeSummaries(int64_t now);

 private:
  struct stKey {
    std::deque<int64_t> failures;  // the last kFailures, oldest first
    bool slowed = false;
    int64_t readyAt = 0;  // a slowed key answers from then on
    int64_t delay = 0;    // the wait after its next answer
    int busy = 0;         // attempts being answered
  };
  struct stSummary {
    int64_t since = 0;
    unsigned failed = 0, unanswered = 0;
    std::set<std::string> accounts;
  };
  // The key, made when missing; a key slowed but idle for a minute starts over.
  stKey& Key(const std::string& name, int64_t now);
  stKey* Find(const std::string& name, int64_t now);
  bool Ready(const stKey* key, int64_t now) const;
  void Count(stKey& key, bool failed, int64_t now);
  void Forget(int64_t now);
  bool Known(const std::string& address, const std::string& account, int64_t now) const;

  int64_t m_nMaxDelayMs;
  std::unordered_map<std::string, stKey> m_keys;           // "a " + address, "n " + account
  std::unordered_map<std::string, stSummary> m_summaries;  // by address
  std::unordered_map<std::string, int64_t> m_known;        // account NUL address -> its last login
};
