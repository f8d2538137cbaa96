// Test doubles at the boundary of the message code: a link that records what is sent over it,
// and an endpoint that runs commands through a test function and records what it is asked.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/core/log_file.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/console_test_util.h"
#include "testkit/scratch_dir.h"

namespace testing_msg {

// A server link that keeps a copy of every record given to Send.
class RecordingLink : public iServerLink {
 public:
  explicit RecordingLink(unsigned short id = 7, const char* name = "peer")
      : m_id(id), m_name(name) {}
  virtual ~RecordingLink() = default;

  int Send(const stMsg* msg, unsigned long size) override {
    m_sent.emplace_back(reinterpret_cast<const char*>(msg), size);
    return m_sendResult;
  }
  unsigned short GetID() override { return m_id; }
  int IsConnect() override { return m_connected ? 1 : 0; }
  void ReleaseLink() override { ++m_released; }
  const char* GetName() override { return m_name; }
  bool IsTraceSendCmd() override { return m_traceSend; }
  bool IsTraceRecieveCmd() override { return false; }
  const char* GetIP() override { return "127.0.0.1"; }
  void Trace(std::ostream&) override {}
  unsigned long GetUnsentBytes() override { return 0; }
  bool OnInvalidMessage(int type, int size, bool cut) override {
    m_invalid.push_back({type, size, cut ? 1 : 0});
    return cut;
  }
  void Disconnect(int) override { m_connected = false; }

  // The id field of a sent record.
  static unsigned SentId(const std::string& bytes) {
    stMsg head;
    std::memcpy(&head, bytes.data(), sizeof(head));
    return head.id;
  }
  // The group number and text of a sent command record.
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
  bool m_traceSend = false;
  bool m_connected = true;

 private:
  unsigned short m_id;
  const char* m_name;
};

// A client-side link: an iSend that is not a server link.
class ClientLink : public iSend {
 public:
  virtual ~ClientLink() = default;
  int Send(const stMsg*, unsigned long) override { return 1; }
  unsigned short GetID() override { return 0; }
  int IsConnect() override { return 1; }
  void ReleaseLink() override {}
  const char* GetName() override { return "client"; }
  bool IsTraceSendCmd() override { return false; }
  bool IsTraceRecieveCmd() override { return false; }
  const char* GetIP() override { return "127.0.0.1"; }
  void Trace(std::ostream&) override {}
  unsigned long GetUnsentBytes() override { return 0; }
};

// A distributor that answers as told and remembers what it was offered.
class TestDistribute : public iDistribute {
 public:
  explicit TestDistribute(bool accept) : m_accept(accept) {}
  virtual ~TestDistribute() = default;
  bool Distribute(unsigned short linkId, stMsg*, unsigned long size) override {
    m_linkId = linkId;
    m_size = size;
    return m_accept;
  }
  bool m_accept;
  int m_linkId = -1;
  unsigned long m_size = 0;
};

// An endpoint that runs command texts through `m_run` and sends answers back with SendCmd, as
// an endpoint without a return path does.
class TestBridge : public iBridge {
 public:
  TestBridge() {
    m_msg.Init(this);
    if (!m_msgLog.Open(m_folder.file("msg").c_str(), 0)) ADD_FAILURE() << "message log not opened";
    ClearMsgLogText();
  }
  virtual ~TestBridge() { m_msgLog.GetLog().Close(); }

  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int, int) override {}
  void Run(unsigned long) override {}
  bool CreateWorld() override { return true; }
  bool DestroyWorld() override { return true; }

  iDistribute* GetDistribute() override { return m_distribute; }
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
  cMsgLog& GetCmdLog() override { return Unused<cMsgLog>("GetCmdLog"); }
  cLog& GetExceptionLog() override { return Unused<cLog>("GetExceptionLog"); }
  void BindiConnectDisconnect(iConnectDisconnect*) override {}
  void BindiTesselWorld(iTesselWorld*) override {}
  cNetHelp* GetNetHelp() override { return nullptr; }
  const char* GetName() override { return "test_bridge"; }
  void AddCmdLog_Run(const stBindMsg& msg) override { m_logged.push_back(msg.size); }
  void AddCmdLog_Result(HandleChatExceptionEnum result) override { m_results.push_back(result); }

  // The text written to the received-message log since it was opened or last cleared.
  std::string MsgLogText() { return WholeMsgLog().substr(m_msgLogMark); }
  void ClearMsgLogText() { m_msgLogMark = WholeMsgLog().size(); }

  std::function<HandleChatExceptionEnum(unsigned, const char*)> m_run;
  iDistribute* m_distribute = nullptr;
  std::vector<std::string> m_ran;
  iSend* m_ranOn = nullptr;
  std::vector<unsigned> m_logged;
  std::vector<int> m_results;
  testing_support::scratch_dir m_folder;
  cMsgLog m_msgLog;
  std::size_t m_msgLogMark = 0;
  cMsg m_msg;

 private:
  std::string WholeMsgLog() {
    m_msgLog.GetLog().flush();
    std::ifstream file(m_msgLog.GetLog().GetFileName());
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  template <class T>
  static T& Unused(const char* what) {
    ADD_FAILURE() << what << " is not used by the code under test";
    std::abort();
  }
};

// Captures what is written to standard output while it lives.
using CaptureCout = CoutCapture;

// Bytes of one record received from a peer over `link`, with the given header and total size;
// the test fills in the body.
struct ReceivedRecord {
  ReceivedRecord(int type, std::size_t size, unsigned short id = 0) : bytes(size, '\0') {
    stMsg head;
    head.type = static_cast<std::uint16_t>(type);
    head.id = id;
    std::memcpy(bytes.data(), &head, std::min(size, sizeof(head)));
    bind.size = static_cast<std::uint32_t>(size);
    bind.send = &link;
    bind.msg = reinterpret_cast<stMsg*>(bytes.data());
    bind.kind = stBindMsg::kPeerRecord;
  }
  ReceivedRecord(const ReceivedRecord&) = delete;
  ReceivedRecord& operator=(const ReceivedRecord&) = delete;

  // A command record as a peer sends it: the text padded to the wire size.
  static std::unique_ptr<ReceivedRecord> Command(int cmd, const std::string& text) {
    auto r = std::make_unique<ReceivedRecord>(stMsg_Cmd::s_nType, CmdWireSize(text.size()));
    r->PutInt(4, cmd);
    r->Put(8, text.c_str(), text.size() + 1);
    return r;
  }
  void Put(std::size_t offset, const void* data, std::size_t n) {
    std::memcpy(bytes.data() + offset, data, n);
  }
  void PutInt(std::size_t offset, std::int32_t value) { Put(offset, &value, sizeof(value)); }

  RecordingLink link;
  std::vector<char> bytes;
  stBindMsg bind;
};

}  // namespace testing_msg
