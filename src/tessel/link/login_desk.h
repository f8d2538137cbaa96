// Answers the Login commands that the links of one listening server send: at once while neither
// the peer's address nor the account is slowed by the throttle (login_throttle.h), else when
// their turn comes, from the server's pass; an account whose file holds a password hash is
// checked on a thread of its own, so no check holds the worker. While a link's attempt waits its
// records are held, so what it sent behind its Login runs after the answer; a link has one
// attempt at a time, and a Login it sends meanwhile is not taken. Attempts from addresses that
// are not slowed go first, so a guesser's many links keep nobody else out. The desk writes the
// throttle's summary lines to the endpoint's exception log, and the audit line of each login it
// answers later. Worker thread only (a check's thread touches only its own check).
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "tessel/link/cmd_audit.h"
#include "tessel/link/link_token.h"
#include "tessel/link/login_throttle.h"
#include "tessel/link/password_hash.h"

class iAccountManagerServer;
class cAccountManagerHelpServer;

// How a login was answered: logged in; refused on its password or account; or refused before any
// password was looked at, since the account or the link is logged in already (a reconnecting
// operator whose old link is not gone yet), which is no guess.
enum class eLoginAnswer { kLoggedIn, kRefused, kInUse };

// Answers the Login command served now with `manager` (null: a side with nothing to log in
// with): the console line, the manager's Login, the answer Logined(ok,'own name') and the
// endpoint's OnLogined. `replayed`: the Login came from a replay of recorded traffic. `kicked`:
// the account was kicked while the login waited; it is refused without a look at its password.
eLoginAnswer AnswerLogin(iAccountManagerServer* manager, const char* account, const char* password,
                         bool replayed, bool kicked = false);

class cLoginDesk {
 public:
  // Milliseconds of a steady clock; tests give their own.
  using Clock = std::function<int64_t()>;
  // Hash checks running at once; further attempts wait for a free one.
  static constexpr size_t kMaxChecks = 2;
  // The memory the running checks may take together beyond the first: as much as the largest one
  // (two scrypt checks of 1 GiB held 2 GiB at once). A check that waits for memory so holds
  // every later check back until it runs.
  static constexpr uint64_t kMaxCheckBytes = uint64_t(1) << 30;
  // The throttle's summary lines are looked for this often.
  static constexpr int64_t kSummaryEveryMs = 1000;

  explicit cLoginDesk(cAccountManagerHelpServer& accounts);
  // Waits for the checks still running.
  ~cLoginDesk();
  cLoginDesk(const cLoginDesk&) = delete;
  cLoginDesk& operator=(const cLoginDesk&) = delete;

  // The Login command served now: answered at once, or taken for later.
  void Submit(const char* account, const char* password);
  // Answers what has come due; the server runs it every pass.
  void Run();
  // The link went down: its attempt goes unanswered.
  void DropLink(unsigned int linkId);
  // The account was kicked: its attempts waiting here, on their turn or on their hash check,
  // are refused when they would be answered. Returns how many there were.
  size_t Kick(const std::string& account);
  // The longest delay of a slowed key; the server keeps it below its login deadline.
  void SetMaxDelay(int64_t ms) { m_throttle.SetMaxDelay(ms); }
  void SetClock(Clock clock) { m_clock = std::move(clock); }
  // Starts a check's thread (std::thread's own by default, null restores it); tests give one that
  // throws std::system_error, as std::thread does when no thread can be made.
  using ThreadStarter = std::thread (*)(std::function<void()> run);
  static void SetThreadStarter(ThreadStarter start);
  size_t Pending() const { return m_attempts.size(); }
  size_t Checking() const { return m_nChecks; }

 private:
  struct stCheck;
  // A file's identity and last change: one whose stamp is unchanged holds what it held.
  struct stStamp {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, changedNs = 0;
    bool operator==(const stStamp&) const = default;
  };
  struct stAttempt {
    stLinkToken link;
    iSend* send = nullptr;
    std::string address, account, password;
    bool begun = false;                // the throttle counts it as being answered
    bool replayed = false;             // handed in by a replay, not sent by the link's peer
    bool kicked = false;               // its account was kicked while it waited: it is refused
    bool waitsForMemory = false;       // its check waits for the memory the running ones take
    std::string stored;                // the hash it is checked against
    std::string read;                  // the hash its account file held when last read
    std::optional<stStamp> readStamp;  // that file's stamp then
    // That file's text, kept from the read that begins the answer to its end, for Login.
    std::optional<std::string> text;
    uint64_t checkBytes = 0;  // the memory its check takes
    std::shared_ptr<stCheck> check;
    std::unique_ptr<cLoginAudit> audit;  // its line, when it is answered later
  };
  using Attempts = std::list<stAttempt>;

  // Starts answering: at once (`serving`: inside the Login command), or by a hash check; false
  // when a check is needed and none is free.
  bool Start(Attempts::iterator it, bool serving);
  // Whether a check of `bytes` for `attempt` may start now; one that may not for the memory
  // the running checks take is marked as waiting for it.
  bool MayCheck(stAttempt& attempt, uint64_t bytes);
  void SetWaitsForMemory(stAttempt& attempt, bool waits);
  // A check of `given` against `stored` on a thread of its own; null when no thread can be made
  // (said once until one is made again): the attempt then waits for its turn again.
  std::shared_ptr<stCheck> StartCheck(const std::string& stored, const std::string& given);
  // Answers, takes the attempt off the list and releases its link.
  void Finish(Attempts::iterator it, bool serving, std::optional<ePasswordCheck> verdict);
  void Hold(iSend* send, bool hold);
  // The account file's password when it is a hash form; empty otherwise. Read again only when
  // the file changed since the attempt last read it: a waiting attempt asks at every pass.
  std::string StoredHash(stAttempt& attempt) const;
  static std::optional<stStamp> StampOf(const std::string& path);
  void WriteSummaries(int64_t now);

  cAccountManagerHelpServer& m_accounts;
  cLoginThrottle m_throttle;
  Clock m_clock;
  Attempts m_attempts;
  size_t m_nChecks = 0;
  uint64_t m_nCheckBytes = 0;   // the memory the running checks take
  size_t m_nMemoryWaiters = 0;  // attempts marked waitsForMemory
  int64_t m_nLastSummary = 0;
  bool m_bNoThreadSaid = false;  // the last check found no thread, and said so
};
