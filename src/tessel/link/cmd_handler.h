// The one place a command record received from a link is handled, and what is known of it while
// it is: the command log, the rights check, serving the requester (its output goes back when the
// command is done), the endpoint's checks and the run, the command script, the distributor, the
// log's result and the audit. The rights check and the audit are hooks installed at start; the
// functions a command calls read its context (CurrentCmd) while it runs. Worker thread only,
// except the installers, which any thread may call before the worker starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tessel/core/cmd_rights.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_records.h"

class cBridge;
class iAccount;

// One command record from a link while it is handled.
struct stCmdContext {
  cBridge& bridge;
  stBindMsg& msg;      // the record as received
  stMsg_Cmd& record;   // its group and text lie inside the bytes received
  iSend* link;         // the link it came on
  iAccount* account;   // the link's console account on a server side; null on a client side
  std::string origin;  // who it runs for, as account@process; empty when there is none
  int group;
  std::string_view text;
  bool stranger;     // the link had an account that was not logged in when the record arrived
  uint32_t startMs;  // when handling began (the millisecond clock)

  HandleChatExceptionEnum result = ChatException_OK;
  bool ran = false;        // the text ran in a group of the endpoint
  bool luaError = false;   // and stopped with a Lua error
  uint32_t costMs = 0;     // from arrival to the end of handling
  size_t outputBytes = 0;  // output collected for the requester

  // The origin another process sent with the record: who it runs for and with which rights
  // (null: it came with none); a refused claim's line; the id its answers are tagged with.
  CmdRightsPtr carried{};
  std::string refusal{};
  uint32_t answerId = 0;
  uint32_t answersTo = 0;  // the record answers a command this process sent with that id
  // The hop count a command it sends on with an origin goes with: the one its own origin came
  // with plus one; 0 when it came without an origin.
  uint32_t sendHops = 0;
  // The rights of the command this record answers (also once its answers are no longer
  // awaited): an answer runs here with no more than they grant. Null when it answers none.
  CmdRightsPtr asker{};
};

// Decides, before a command runs and while its output goes to the requester, whether the
// account behind it may run it; anything but ChatException_OK refuses it.
class iCmdRights {
 public:
  virtual HandleChatExceptionEnum Allow(const stCmdContext& cmd) = 0;

 protected:
  ~iCmdRights() = default;
};

// Told of every command record handled, allowed or refused, once its outcome is known.
class iCmdAudit {
 public:
  virtual void Record(const stCmdContext& cmd) = 0;

 protected:
  ~iCmdAudit() = default;
};

// Installs the hooks (none by default).
void SetCmdRights(iCmdRights* rights);
void SetCmdAudit(iCmdAudit* audit);

// The command record being handled now; null between records.
const stCmdContext* CurrentCmd();
// The endpoint ran the text of the command being handled (`ok`: without a Lua error). A text it
// runs on the command's behalf reports too; the command's own run reports last.
void NoteCmdRun(bool ok);

class cCmdHandler {
 public:
  explicit cCmdHandler(cBridge& bridge) : m_bridge(bridge) {}
  HandleChatExceptionEnum Handle(const stCmdRecord& received);

 private:
  stCmdContext Describe(const stCmdRecord& received);
  void TakeOrigin(stCmdContext& cmd);
  static bool IsRouteCall(const stCmdContext& cmd);
  static const CmdRightsPtr& StrangerRights();
  CmdRightsPtr Rights(const stCmdContext& cmd) const;
  CmdRightsPtr LinkRights(const stCmdContext& cmd) const;
  void Serve(stCmdContext& cmd);
  void RunCmdScript(const stCmdContext& cmd);
  void Distribute(stCmdContext& cmd);

  cBridge& m_bridge;
};
