// Test doubles of the message tests beside the kit's bridge double: a distributor, and the bytes
// of a record as a peer sends it.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "tessel/msg/msg_records.h"
#include "testkit/bridge_double.h"
#include "testkit/stdout_capture.h"

namespace testing_msg {

using RecordingLink = testkit::cRecordingLink;
using TestBridge = testkit::cBridgeDouble;

// A distributor that answers as told and remembers what it was offered.
struct TestDistribute : iDistribute {
  bool Distribute(unsigned short linkId, stMsg*, unsigned long size) override {
    m_linkId = linkId;
    m_size = size;
    return m_accept;
  }
  bool m_accept = false;
  int m_linkId = -1;
  unsigned long m_size = 0;
};

// Bytes of one record received from a peer over `link`: the header, then `fill` up to `size`.
struct ReceivedRecord {
  ReceivedRecord(int type, std::size_t size, unsigned short id = 0, char fill = '\0')
      : bytes(size, fill),
        bind{static_cast<std::uint32_t>(size), &link, reinterpret_cast<stMsg*>(bytes.data()),
             stBindMsg::kPeerRecord} {
    const stMsg head{static_cast<std::uint16_t>(type), id};
    std::memcpy(bytes.data(), &head, std::min(size, sizeof(head)));
  }
  ReceivedRecord(const ReceivedRecord&) = delete;

  // A command record as a peer sends it: the text padded to the wire size.
  static std::unique_ptr<ReceivedRecord> Command(int cmd, const std::string& text,
                                                 std::size_t size = 0) {
    auto r = std::make_unique<ReceivedRecord>(stMsg_Cmd::s_nType,
                                              size ? size : CmdWireSize(text.size()));
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
