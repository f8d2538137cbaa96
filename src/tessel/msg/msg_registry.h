// The message registry of one link endpoint: numbers the record types from 1001, keeps one
// binding per type, checks the size of every received record and hands it to its binding.
// Worker thread only; bindings are process-wide and shared by every registry.
#pragma once

#include <ostream>
#include <utility>
#include <vector>

#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_records.h"

class iBridge;
class KLuaScript;

// Base of every binding: the display name and size rule of one record type, and its handler.
class cMsgBind {
 public:
  // `exactSize` not 0: a record must have exactly that many bytes; otherwise `maxSize` not 0:
  // a record must not exceed it.
  cMsgBind(const char* name, unsigned exactSize, unsigned maxSize)
      : m_szName(name), m_nSize(exactSize), m_nMaxSize(maxSize) {}
  cMsgBind(const cMsgBind&) = delete;
  cMsgBind& operator=(const cMsgBind&) = delete;

  virtual HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg);
  virtual const char* GetErrorText(int error);
  // A hook for derived bindings; nothing here uses it.
  virtual void OnParam(unsigned param);
  virtual ~cMsgBind() = default;

  const char* GetName() const { return m_szName; }
  unsigned GetExactSize() const { return m_nSize; }
  unsigned GetMaxSize() const { return m_nMaxSize; }

 private:
  const char* m_szName;
  unsigned m_nSize;
  unsigned m_nMaxSize;
};

class cMsg {
 public:
  static constexpr int kFirstType = 1001;

  cMsg() = default;
  cMsg(const cMsg&) = delete;
  cMsg& operator=(const cMsg&) = delete;

  // Sets the owner and registers the five built-in bindings (types 1001 to 1005).
  virtual void Init(iBridge* owner);
  virtual ~cMsg() = default;

  // Gives `binding` the next type number, written to `typeNumber`.
  void Register(int& typeNumber, cMsgBind* binding);
  // Puts `binding` in place of the binding of the registered `type` (a program that handles a
  // built-in record itself); false for a type not registered.
  bool Rebind(int type, cMsgBind* binding);
  // Binds a record type of a fixed number far above the numbered ones (kFixedTypes and up), so
  // that a program's own types keep their numbers; Init keeps it.
  static constexpr int kFixedTypes = 0xFE00;
  void BindFixed(int type, cMsgBind* binding);
  cMsgBind* GetBind(int type) const;
  // The object binding for a record addressed to an object, else the binding of its type.
  cMsgBind* GetBind(const stMsg* msg) const;
  HandleChatExceptionEnum HandleMsg(stBindMsg* msg);
  const char* GetName(int type) const;
  const char* GetErrorText(int type, int error) const;

  void SetBridge(iBridge* owner) { m_pBridge = owner; }
  iBridge* GetBridge() const { return m_pBridge; }
  // Receives every record whose header id is above 0, whatever its type.
  void SetObjBind(cMsgBind* binding) { m_pObjBind = binding; }
  int GetNextType() const { return m_nNextType; }

 private:
  iBridge* m_pBridge = nullptr;
  std::vector<cMsgBind*> m_vBind;
  cMsgBind* m_pObjBind = nullptr;
  int m_nNextType = kFirstType;
  std::vector<std::pair<int, cMsgBind*>> m_fixed;
};

// Process-wide hooks of the built-in bindings, set during start-up.
using TraceErrorFunc = void (*)(stMsg_Error* msg, std::ostream& os);
void SetTraceErrorFunc(TraceErrorFunc f);
TraceErrorFunc GetTraceErrorFunc();
// The error script runs "OnError(msg,error)" for every error reply; the command script runs the
// text of every received command the endpoint accepted, whether a group of it ran the text or
// none had its number (never a refused one).
void SetErrorScript(KLuaScript* script);
KLuaScript* GetErrorScript();
void SetCmdScript(KLuaScript* script);
KLuaScript* GetCmdScript();
