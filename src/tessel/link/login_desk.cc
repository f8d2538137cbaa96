#include "tessel/link/login_desk.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <thread>

#include <sys/stat.h>

#include "platform/console_color.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/host.h"
#include "tessel/core/log_file.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/run_counters.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/ini_file.h"
#include "tessel/link/net_help.h"
#include "tessel/link/password_hash.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

// The login command group, where the answer goes.
constexpr unsigned kLoginGroup = 2;
// The answer is formatted into a buffer of this size.
constexpr size_t kCmdBufferSize = 10240;

std::thread StartThread(std::function<void()> run) {
  return std::thread(std::move(run));
}

std::atomic<cLoginDesk::ThreadStarter> g_startThread{&StartThread};

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whether a login of `account` on the link `linkId` is refused before its password is looked at:
// the account is logged in on some link, or this link is logged in already. The peer's own
// login on a link a replay logged in is looked at: it takes the link over.
bool InUse(iAccountManagerServer* manager, unsigned linkId, const char* account, bool replayed) {
  if (manager == nullptr) return false;
  iAccount* own = manager->GetAccount(linkId);
  iAccount* holder = account != nullptr ? manager->FindAccount(account) : nullptr;
  if (own != nullptr && own->IsReplayLogin() && !replayed)
    return holder != nullptr && holder != own;
  return holder != nullptr || (own != nullptr && own->IsLogin());
}

}  // namespace

eLoginAnswer AnswerLogin(iAccountManagerServer* manager, const char* account, const char* password,
                         bool replayed, bool kicked) {
  ostreamCmd& out = get_gout();
  iSend* link = out.GetLink();
  iBridge* bridge = out.GetBridge();
  if (bridge == nullptr || bridge->MayLog(link)) {
    platform::SetColor(platform::kColorYellow);
    std::cout << (link != nullptr ? link->GetName() : "") << " "
              << (out.GetLinkIP() != nullptr ? out.GetLinkIP() : "") << " login as "
              << EscapeControls(account != nullptr ? account : "") << " " << MaskPassword(password)
              << std::endl;
    platform::SetColor(platform::kColorLightCyan);
  }
  const unsigned id = out.GetLinkID();
  const bool inUse = InUse(manager, id, account, replayed);
  if (kicked)
    out << "login error " << EscapeControls(account != nullptr ? account : "")
        << " was kicked while this login waited\n";
  const int result =
      !kicked && manager != nullptr && manager->Login(id, account, password, replayed) ? 1 : 0;
  if (result == 0) CountLoginFailure();
  NoteLoginAnswer(result != 0);
  // The own name travels as an escaped literal: the client reads back exactly this name.
  std::string answer =
      "Logined(" + std::to_string(result) + "," + LuaQuote(GetHost().GetAccount()) + ")";
  if (answer.size() >= kCmdBufferSize) answer.resize(kCmdBufferSize - 1);
  // The greeting goes first: a client that learnt it was logged in before it learnt it may carry
  // origins sent a narrowed account's command without one, run here with the link's rights.
  auto* server = dynamic_cast<cBridgeServer*>(bridge);
  if (result != 0 && !replayed && server != nullptr) server->GreetAhead(id);
  out.SendBackCmd(kLoginGroup, answer.c_str());
  if (bridge != nullptr) bridge->OnLogined(id, result);
  if (result != 0) return eLoginAnswer::kLoggedIn;
  return inUse || kicked ? eLoginAnswer::kInUse : eLoginAnswer::kRefused;
}

// A hash check on a thread of its own; `verdict` is read once `done` is set.
struct cLoginDesk::stCheck {
  std::thread thread;
  std::atomic<bool> done{false};
  ePasswordCheck verdict = ePasswordCheck::kMismatch;
};

cLoginDesk::cLoginDesk(cAccountManagerHelpServer& accounts)
    : m_accounts(accounts), m_clock(&SteadyMs) {}

cLoginDesk::~cLoginDesk() {
  for (stAttempt& attempt : m_attempts)
    if (attempt.check && attempt.check->thread.joinable()) attempt.check->thread.join();
}

void cLoginDesk::Submit(const char* account, const char* password) {
  TESSEL_ASSERT_WORKER();
  ostreamCmd& out = get_gout();
  stAttempt attempt;
  attempt.link = ServingToken();
  attempt.send = out.GetLink();
  attempt.address = out.GetLinkIP() != nullptr ? out.GetLinkIP() : "";
  attempt.account = account != nullptr ? account : "";
  attempt.password = password != nullptr ? password : "";
  attempt.replayed = out.GetCurMsg() != nullptr && out.GetCurMsg()->replayed;
  const int64_t now = m_clock();
  for (const stAttempt& waiting : m_attempts) {
    if (waiting.link.linkId == attempt.link.linkId && waiting.link.serial == attempt.link.serial) {
      m_throttle.Unanswered(attempt.address, now);
      return;
    }
  }
  attempt.audit = std::make_unique<cLoginAudit>();
  auto it = m_attempts.insert(m_attempts.end(), std::move(attempt));
  if (m_throttle.MayAnswer(it->address, it->account, now) && Start(it, true)) return;
  Hold(it->send, true);
}

std::optional<cLoginDesk::stStamp> cLoginDesk::StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return stStamp{st.st_dev, st.st_ino, st.st_size,
                 st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
}

std::string cLoginDesk::StoredHash(stAttempt& attempt) const {
  if (GetConfigValue("check_login", 1) == 0 || !IsSafeAccountName(attempt.account.c_str()))
    return {};
  const std::string path = AccountFilePath(attempt.account);
  const std::optional<stStamp> stamp = StampOf(path);
  if (stamp && attempt.readStamp == stamp) return attempt.read;
  cIniFile file;
  file.SetPath(path);
  std::string stored, text;
  attempt.text.reset();
  if (ReadReportedHomeFile(path, platform::kSettingsFileBytes, text)) {
    attempt.text = text;
    file.LoadText(std::move(text));
  }
  if (!attempt.text || !file.GetString("password", stored) || !IsPasswordHash(stored))
    stored.clear();
  attempt.read = stored;
  attempt.readStamp = stamp;
  return stored;
}

bool cLoginDesk::Start(Attempts::iterator it, bool serving) {
  std::string stored = it->kicked ? std::string() : StoredHash(*it);
  const uint64_t bytes = PasswordCheckBytes(stored);
  std::shared_ptr<stCheck> check;
  if (!stored.empty() && (!MayCheck(*it, bytes) || !(check = StartCheck(stored, it->password)))) {
    it->text.reset();  // a login waiting its turn holds no file's text
    return false;
  }
  SetWaitsForMemory(*it, false);
  m_throttle.Begin(it->address, it->account, m_clock());
  it->begun = true;
  if (stored.empty()) {
    Finish(it, serving, std::nullopt);
    return true;
  }
  if (serving) Hold(it->send, true);
  it->stored = std::move(stored);
  it->check = std::move(check);
  it->checkBytes = bytes;
  ++m_nChecks;
  m_nCheckBytes += bytes;
  return true;
}

void cLoginDesk::SetThreadStarter(ThreadStarter start) {
  g_startThread.store(start != nullptr ? start : &StartThread);
}

// Without a thread the login waits: thrown out of the Login command or the server's pass, the
// failure left its attempt begun and unanswered for good with its link held, or ended the process.
std::shared_ptr<cLoginDesk::stCheck> cLoginDesk::StartCheck(const std::string& stored,
                                                            const std::string& given) {
  auto check = std::make_shared<stCheck>();
  try {
    check->thread = g_startThread.load()([check, stored, given] {
      check->verdict = CheckPasswordHow(stored, given);
      check->done.store(true);
      GetHost().WakeWorker();
    });
  } catch (const std::system_error& e) {
    iBridge* bridge = m_accounts.GetBridge();
    if (!m_bNoThreadSaid && bridge != nullptr) {
      platform::ColorSection red(platform::kColorLightRed);
      bridge->GetExceptionLog().TimeStamp() << "cLoginDesk no thread for a password check ("
                                            << e.what() << "): its login waits for one\n";
      bridge->GetExceptionLog().flush();
    }
    m_bNoThreadSaid = true;
    return nullptr;
  }
  m_bNoThreadSaid = false;
  return check;
}

// A check waiting for the memory of the running ones holds every other check back until it
// runs: else smaller checks, one coming as another ended, kept one running always and passed a
// check of 1 GiB for as long as they came.
bool cLoginDesk::MayCheck(stAttempt& attempt, uint64_t bytes) {
  const bool fits = m_nChecks == 0 || m_nCheckBytes + bytes <= kMaxCheckBytes;
  if (m_nChecks < kMaxChecks && fits && (m_nMemoryWaiters == 0 || attempt.waitsForMemory))
    return true;
  if (!fits) SetWaitsForMemory(attempt, true);
  return false;
}

void cLoginDesk::SetWaitsForMemory(stAttempt& attempt, bool waits) {
  if (attempt.waitsForMemory == waits) return;
  attempt.waitsForMemory = waits;
  if (waits)
    ++m_nMemoryWaiters;
  else
    --m_nMemoryWaiters;
}

void cLoginDesk::Finish(Attempts::iterator it, bool serving,
                        std::optional<ePasswordCheck> verdict) {
  // Without a check (no hash was found) the preset is empty: a hash the file got since is
  // refused by Login, not derived on the worker.
  if (!it->kicked)
    PresetPasswordCheck(it->stored, it->password, verdict.value_or(ePasswordCheck::kMismatch));
  eLoginAnswer result = eLoginAnswer::kRefused;
  int64_t bytes = -1;
  bool changed = false;
  const std::string path = AccountFilePath(it->account);
  auto answer = [&] {
    // Login takes the file's text the desk read while the file is unchanged since.
    if (it->text && !it->kicked && it->readStamp && StampOf(path) == it->readStamp)
      PresetAccountText(path, std::move(*it->text));
    result = AnswerLogin(&m_accounts, it->account.c_str(), it->password.c_str(), it->replayed,
                         it->kicked);
    changed = RefusedWithoutGuess();
    ForgetPasswordCheck();
    bytes = static_cast<int64_t>(get_gout().CollectedBytes());
  };
  bool answered = true;
  if (serving) {
    answer();
  } else {
    answered = ServeAgain(it->link, dynamic_cast<cBridge*>(m_accounts.GetBridge()), answer);
    it->audit->End(answered, result == eLoginAnswer::kLoggedIn, bytes);
  }
  // A link that has gone was released by its end; its link object may hold a newcomer now.
  const int64_t now = m_clock();
  if (answered) {
    // Only a refusal that looked at the password (or found no such account) is a guess; one
    // whose hash changed during its check (an operator changing it), or whose file could not be
    // read for now, looked at none.
    m_throttle.Answered(it->address, it->account, result == eLoginAnswer::kRefused && !changed,
                        now);
    if (result == eLoginAnswer::kLoggedIn && !it->replayed)
      m_throttle.LoggedIn(it->address, it->account, now);
    Hold(it->send, false);
  } else {
    m_throttle.Abandoned(it->address, it->account, now);
  }
  m_attempts.erase(it);
}

void cLoginDesk::Hold(iSend* send, bool hold) {
  iBridge* bridge = m_accounts.GetBridge();
  cNetHelp* help = bridge != nullptr ? bridge->GetNetHelp() : nullptr;
  if (help != nullptr && send != nullptr) help->Hold(send, hold);
}

// Checks that ended are answered first; then the waiting attempts whose turn has come, those
// from addresses that are not slowed before the others.
void cLoginDesk::Run() {
  TESSEL_ASSERT_WORKER();
  const int64_t now = m_clock();
  for (auto it = m_attempts.begin(); it != m_attempts.end();) {
    const auto next = std::next(it);
    if (it->check && it->check->done.load()) {
      it->check->thread.join();
      --m_nChecks;
      m_nCheckBytes -= it->checkBytes;
      Finish(it, false, it->check->verdict);
    }
    it = next;
  }
  for (const bool slowedAddress : {false, true}) {
    for (auto it = m_attempts.begin(); it != m_attempts.end();) {
      const auto next = std::next(it);
      if (!it->begun && m_throttle.IsSlowed(it->address, now) == slowedAddress) {
        // One whose turn has gone again (its slowed key is busy or waits) holds nobody back.
        if (m_throttle.MayAnswer(it->address, it->account, now))
          Start(it, false);
        else
          SetWaitsForMemory(*it, false);
      }
      it = next;
    }
  }
  if (now - m_nLastSummary >= kSummaryEveryMs) WriteSummaries(now);
}

// An attempt whose check still runs is answered when it ends, and finds its link gone.
void cLoginDesk::DropLink(unsigned int linkId) {
  TESSEL_ASSERT_WORKER();
  for (auto it = m_attempts.begin(); it != m_attempts.end();) {
    const auto next = std::next(it);
    if (it->link.linkId == linkId && !it->begun) {
      SetWaitsForMemory(*it, false);
      it->audit->End(false, false, -1);
      m_attempts.erase(it);
    }
    it = next;
  }
}

size_t cLoginDesk::Kick(const std::string& account) {
  TESSEL_ASSERT_WORKER();
  size_t kicked = 0;
  for (stAttempt& attempt : m_attempts) {
    if (attempt.account != account || attempt.kicked) continue;
    attempt.kicked = true;
    ++kicked;
  }
  return kicked;
}

void cLoginDesk::WriteSummaries(int64_t now) {
  m_nLastSummary = now;
  iBridge* bridge = m_accounts.GetBridge();
  for (const std::string& line : m_throttle.TakeSummaries(now)) {
    if (bridge == nullptr) continue;
    platform::ColorSection red(platform::kColorLightRed);
    bridge->GetExceptionLog().TimeStamp() << "cLoginDesk " << line << "\n";
    bridge->GetExceptionLog().flush();
  }
}
