// The bridge double: an endpoint without a network that runs command texts through a test
// function and records what it is asked, and a server link that records what is sent over it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/core/log_file.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/temp_dir.h"

namespace testkit {

// A server link that keeps a copy of every record given to Send.
class cRecordingLink : public iServerLink {
 public:
  explicit cRecordingLink(unsigned short id = 7) : m_id(id) {}

  int Send(const stMsg* msg, unsigned long size) override {
    m_sent.emplace_back(reinterpret_cast<const char*>(msg), size);
    return m_sendResult;
  }
  unsigned short GetID() override { return m_id; }
  int IsConnect() override { return 1; }
  void ReleaseLink() override { ++m_released; }
  const char* GetName() override { return "peer"; }
  bool IsTraceSendCmd() override { return false; }
  bool IsTraceRecieveCmd() override { return false; }
  const char* GetIP() override { return "127.0.0.1"; }
  void Trace(std::ostream&) override {}
  unsigned long GetUnsentBytes() override { return 0; }
  bool OnInvalidMessage(int type, int size, bool cut) override {
    m_invalid.push_back({type, size, cut ? 1 : 0});
    return cut;
  }
  void Disconnect(int) override {}
  void SetLogined() override {}
  void SetLogout() override {}
  bool IsLogined() override { return false; }

  // The id field of a sent record.
  static unsigned SentId(const std::string& bytes) {
    stMsg head;
    std::memcpy(&head, bytes.data(), sizeof(head));
    return head.id;
  }
  // The group number and the text of a sent command record.
  static int SentCmd(const std::string& bytes) {
    std::int32_t cmd = 0;
    std::memcpy(&cmd, bytes.data() + 4, sizeof(cmd));
    return cmd;
  }
  static std::string SentText(const std::string& bytes) { return std::string(bytes.c_str() + 8); }

  std::vector<std::string> m_sent;
  std::vector<std::vector<int>> m_invalid;
  int m_released = 0;
  int m_sendResult = 1;

 private:
  unsigned short m_id;
};

// A binding of any size that counts the records it is given and accepts them.
struct cCountingBind : cMsgBind {
  cCountingBind() : cMsgBind("counting", 0, 0) {}
  HandleChatExceptionEnum OnMsg(iBridge*, stBindMsg*) override {
    ++calls;
    return ChatException_OK;
  }
  int calls = 0;
};

// An endpoint that serves each command record it is handed (its output goes back to the
// requester), runs command texts through `m_run` and sends answers back with SendCmd, as an
// endpoint without a return path does.
class cBridgeDouble : public iBridge {
 public:
  cBridgeDouble() {
    m_msg.Init(this);
    if (!m_msgLog.Open(m_folder.file("msg").c_str(), 0)) ADD_FAILURE() << "message log not opened";
  }
  // What its links defined in the groups goes with it: the next double may get its address.
  virtual ~cBridgeDouble() {
    cCmd::DropPeerEnvs(static_cast<iBridge*>(this));
    m_msgLog.GetLog().Close();
  }

  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int, int) override {}
  void Run(unsigned long) override {}
  bool CreateWorld() override { return true; }
  bool DestroyWorld() override { return true; }

  iDistribute* GetDistribute() override { return nullptr; }
  HandleChatExceptionEnum RunCmdBridge(iSend* send, unsigned int cmd, const char* text) override {
    m_ran.push_back(std::to_string(cmd) + ":" + text);
    m_ranOn = send;
    return m_run ? m_run(cmd, text) : ChatException_NoCmd;
  }
  HandleChatExceptionEnum RunCmdBridge(iSend* send, stMsg_Cmd* msg) override {
    return RunCmdBridge(send, static_cast<unsigned>(msg->cmd), msg->text);
  }
  cCmd* GetCmdSafe(unsigned int) override { return nullptr; }
  int SendBackCmd(iSend* send, unsigned int cmd, const char* text) override {
    return ::SendCmd(send, static_cast<int>(cmd), text);
  }
  cMsg& GetMsg() override { return m_msg; }
  cMsgLog& GetMsgLog() override { return m_msgLog; }
  cMsgLog& GetCmdLog() override { return m_msgLog; }
  cLog& GetExceptionLog() override { return m_msgLog.GetLog(); }
  void BindiConnectDisconnect(iConnectDisconnect*) override {}
  void BindiTesselWorld(iTesselWorld*) override {}
  cNetHelp* GetNetHelp() override { return nullptr; }
  const char* GetName() override { return "test_bridge"; }
  void AddCmdLog_Run(const stBindMsg&) override {}
  void AddCmdLog_Result(HandleChatExceptionEnum) override {}
  HandleChatExceptionEnum HandleCmdRecord(const stCmdRecord& cmd) override {
    ostreamCmd::cServeScope serving(cmd.msg, this, cmd.group);
    return RunCmdBridge(cmd.msg->send, cmd.record);
  }

  std::function<HandleChatExceptionEnum(unsigned, const char*)> m_run;
  std::vector<std::string> m_ran;
  iSend* m_ranOn = nullptr;
  testkit::cTempDir m_folder;
  cMsgLog m_msgLog;
  cMsg m_msg;
};

}  // namespace testkit
