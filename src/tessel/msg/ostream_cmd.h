// The process-wide command output: standard output for local commands; while a command that
// came over a link is served, everything written is collected and sent back to the requester as
// one Output command. Worker thread only.
#pragma once

#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tessel/core/peer_env.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/output_buffer.h"

class iBridge;
class iServerLink;
class cSyncObj;

class ostreamCmd {
 public:
  ostreamCmd();
  ostreamCmd(const ostreamCmd&) = delete;
  ostreamCmd& operator=(const ostreamCmd&) = delete;

  // Serves one received command: points the output at it and, when the scope ends, sends the
  // collected output back and returns to idle. What runs inside runs in the environments of
  // the message's link (PeerEnvKey). Used by the command binding.
  class cServeScope {
   public:
    cServeScope(stBindMsg* msg, iBridge* bridge, int level);
    ~cServeScope();
    cServeScope(const cServeScope&) = delete;
    cServeScope& operator=(const cServeScope&) = delete;

   private:
    std::optional<cPeerEnvScope> m_env;
  };

  // The current output: the collected text while a message is served, else standard output.
  std::ostream& Stream();
  operator std::ostream&() { return Stream(); }
  ostreamCmd& operator<<(const char* text);
  template <class T>
  ostreamCmd& operator<<(const T& value) {
    Stream() << value;
    return *this;
  }
  ostreamCmd& operator<<(std::ostream& (*manip)(std::ostream&));

  void SetTempCurMsg(stBindMsg* msg) { m_pCurMsg = msg; }
  // Back to idle: no endpoint, no message, nothing collected.
  void ClearCurMsg();
  stBindMsg* GetCurMsg() const { return m_pCurMsg; }
  iBridge* GetBridge() const { return m_pBridge; }
  bool IsLocalCmd() const { return m_pBridge == nullptr; }
  // The endpoint as the server-side or the client-side class (null when the endpoint is of
  // the other side or there is none): a checked conversion, made where the class is known.
  template <class T>
  T* GetBridgeAs() const {
    return dynamic_cast<T*>(m_pBridge);
  }
  bool IsLocalInput() const { return m_bLocalInput; }
  void SetLocalInput(bool local) { m_bLocalInput = local; }
  // The text collected so far (with a line saying how much was left out past the cap), and the
  // length kept.
  std::string GetCollected() const { return m_collected.Text(); }
  size_t CollectedBytes();
  // The text collected so far, leaving nothing collected; the serving state stays.
  std::string TakeCollected();

  // The requester's link and what it tells of itself; null or 0 without a current message.
  iSend* GetLink() const;
  unsigned int GetLinkID() const;
  iServerLink* GetServerLink() const;
  const char* GetLinkIP() const;
  int GetDisconnect() const;
  // The command text of the current message, null without one.
  const char* GetCmdBuffer() const;

  // Runs `text` at `level` as if it had come over the current message's link.
  void DoCmd(int level, const char* text);
  HandleChatExceptionEnum RunCmd(int level, const char* text);
  int SendBackCmd(int level, const char* text);
  // Sends the current message's own record back over its link.
  int SendBackMsg();
  // Sends `output` back as Output commands at `level`, paced as the link reads them (a routed
  // command's answer, whose group is its own).
  void SendBackOutput(int level, const std::string& output);

  // Sends non-empty collected output back as an Output command, then returns to idle (also
  // clearing the return path).
  void SendOutputBack();
  // Sends non-empty collected output through `sync` and empties it; the serving state stays.
  void FlushOutput(cSyncObj* sync);

  // Parameter text of the last command routed along a path.
  static std::string s_strParam;

 protected:
  void SetCurMsg(stBindMsg* msg, iBridge* bridge);

 private:
  // Sends the Output calls back as the requester's link takes them (a bounded wait in all).
  void SendPieces(const std::vector<std::string>& cmds, int level);

  iBridge* m_pBridge = nullptr;
  stBindMsg* m_pCurMsg = nullptr;
  bool m_bLocalInput = false;
  cOutputBuffer m_collected;
  std::ostream m_os{&m_collected};
};

ostreamCmd& get_gout();

// The Lua call that hands `output` to the requester's Output function; output holding a NUL
// byte is written as an escaped string.
std::string MakeOutputCmd(const std::string& output);
// The Output calls that hand `output` back in pieces, each small enough for one command record
// (none for empty output).
std::vector<std::string> MakeOutputCmds(const std::string& output);

// Whose environments a command served for the link `linkId` of `bridge` runs in.
stPeerKey PeerEnvKey(iBridge* bridge, unsigned linkId);
// Drops the environments of that link in every group: it went down or logged out.
void DropPeerEnv(iBridge* bridge, unsigned linkId);

// Group number of the command being served from a link.
int GetServingCmdLevel();
void SetServingCmdLevel(int level);
// Route back to the origin of the command being served along a path; empty otherwise.
const std::string& GetReturnPath();
void SetReturnPath(const std::string& path);
void ClearReturnPath();
