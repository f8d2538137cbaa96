// Test doubles of the message tests beside the kit's bridge double: a client-side link, a
// distributor, and the bytes of a record as a peer sends it.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "tessel/contracts/netlib.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/msg_records.h"
#include "testkit/bridge_double.h"
#include "testkit/stdout_capture.h"

namespace testing_msg {

using RecordingLink = testkit::cRecordingLink;
using TestBridge = testkit::cBridgeDouble;

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

// Captures what is written to standard output while it lives.
using CaptureCout = testkit::cStdoutCapture;

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
