// Who the command texts run now come from, for their audit lines: each source of command texts
// (the console, a received record, a route, a batch file, an alias, a timer) opens a scope
// while it runs texts, and every text run by a group inside it (cCmd::Do, through cAuditRun)
// leaves one line naming that source. Scopes nest; a scope left empty takes the origin, peer
// and route of the one around it. Worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "tessel/core/audit_line.h"

class cAuditScope {
 public:
  struct stWho {
    stWho(eAuditSource from = eAuditSource::Local, std::string account = {},
          std::string address = {}, std::string fingerprint = {}, std::string path = {})
        : source(from),
          origin(std::move(account)),
          peer(std::move(address)),
          cert(std::move(fingerprint)),
          route(std::move(path)) {}
    eAuditSource source;
    std::string origin;
    std::string peer;
    std::string cert;
    std::string route;
  };

  // `ownLine`: the opener writes the line of the first text run inside (a received record's
  // handler, which knows more of it); texts that text runs in turn get lines of their own.
  explicit cAuditScope(stWho who, bool ownLine = false);
  ~cAuditScope();
  cAuditScope(const cAuditScope&) = delete;
  cAuditScope& operator=(const cAuditScope&) = delete;

  // The innermost scope, null when none is open.
  static cAuditScope* Current();
  const stWho& Who() const { return m_who; }
  // The origin as lines show it: "account@process" (an origin carried from another process
  // names its process already).
  const std::string& Origin() const { return m_origin; }
  static std::string OriginOf(const std::string& account);
  // An event of `who` from `source` naming `origin`, timed now; its texts point into `who` and
  // `origin`, which must outlive it.
  static stAuditEvent EventFor(eAuditSource source, std::string_view origin, const stWho& who);

  // This process's name as origins show it ("account@process").
  static void SetProcess(std::string_view process);
  static const std::string& Process();
  // Bytes of output collected for the requester so far; -1 when output is not collected. The
  // floor that serves requesters installs it.
  static void SetOutputCounter(int64_t (*counter)());
  static int64_t OutputBytes();
  // The message of the last Lua error a group reported (a refusal is one).
  static void NoteError(std::string_view message);
  static const std::string& LastError();
  // The text running now sent a command on to `peer`, which cannot take its origin (it runs the
  // command as coming from this process's account): the text's line names the peer.
  static void NoteUncarried(std::string_view peer);
  // The peers the texts of this scope whose line it writes sent commands to without their
  // origin, "a,b" (each once).
  const std::string& Uncarried() const { return m_uncarried; }

 private:
  friend class cAuditRun;
  stWho m_who;
  std::string m_origin;
  std::string m_uncarried;
  bool m_bOwnLine;
  int m_nDepth = 0;
  cAuditScope* m_pOuter;
};

// One text run by a group: measures it and, when the trail is open, leaves its line.
class cAuditRun {
 public:
  explicit cAuditRun(const char* text);
  ~cAuditRun();
  cAuditRun(const cAuditRun&) = delete;
  cAuditRun& operator=(const cAuditRun&) = delete;
  // The run ended; `ok` false when it stopped with an error (LastError tells which).
  void End(const char* group, bool ok);

 private:
  friend class cAuditScope;
  const char* m_text;
  cAuditScope* m_pScope = nullptr;
  cAuditRun* m_pOuterRun = nullptr;
  std::string m_uncarried;
  bool m_bOn = false;
  bool m_bLine = false;
  int64_t m_startUs = 0;
  int64_t m_startOutput = -1;
  const char* m_former = nullptr;
};

// Code a text deferred (a coroutine of StartYield that a timer resumes): its resumes run as
// coming from a timer, for whoever ran that text, and each leaves a line with the text. The
// first runs inside the text itself, whose own line counts its time and output too: its line
// has a time of its own and leaves the output to the text's.
class cAuditDeferred {
 public:
  // What the text being run now defers; null when the trail is not open or nothing runs.
  static std::unique_ptr<cAuditDeferred> Capture();
  void Run(void (*resume)(void*), void* arg);
  // The resume ended; `message` is its error when it failed.
  void Done(bool ok, const char* message);

 private:
  cAuditScope::stWho m_who;
  std::string m_text;
  std::string m_uncarried;  // of the last resume
  int64_t m_startUs = 0;
};
