// The audit lines of command records received from links: the handler's audit hook writes one
// line per record, allowed, refused or failed, and one more for the command script's run of
// its text; a Login's line tells whether it logged in, also when the login desk answers it
// later. Install once before the worker starts; the rest is worker thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tessel/core/audit_scope.h"
#include "tessel/link/cmd_handler.h"

class cCmdAudit : public iCmdAudit {
 public:
  // Makes the process's trail hear of received records and count their output.
  static void Install();
  void Record(const stCmdContext& cmd) override;
};

// Who a received record comes from: its account, the link's peer address and, for a TLS link,
// the fingerprint of the peer's certificate.
cAuditScope::stWho PeerAuditWho(const stCmdContext& cmd);

// A record refused before its handler because its link has not logged in (once per link: a
// stranger cannot fill the trail). `text` is the command's text, or empty for another record.
void AuditRefusedStranger(iSend* link, std::string_view group, std::string_view text);

// The command script's run of a received record's text: End leaves its line.
class cCmdScriptAudit {
 public:
  explicit cCmdScriptAudit(const stCmdContext& cmd);
  void End(bool ok) const;

 private:
  const stCmdContext& m_cmd;
  int64_t m_startUs;
};

// A Login answered while its record is handled: a failed one makes the record's line a refusal.
void NoteLoginAnswer(bool ok);

// The line of a Login that the login desk answers after its record was handled, in place of the
// record's own (the same fields), written once the answer is known. Taken while the record is
// handled; outside one, or with the trail shut, it writes nothing.
class cLoginAudit {
 public:
  cLoginAudit();
  // `answered` false: the link went down before the answer. `ok`: the link logged in.
  // `outputBytes`: the answer's.
  void End(bool answered, bool ok, int64_t outputBytes) const;

 private:
  bool m_bOn = false;
  cAuditScope::stWho m_who;
  std::string m_origin, m_group, m_text;
  int64_t m_startUs = 0;
};
