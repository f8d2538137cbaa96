// The frame decoder and a server link's receive path: arbitrary bytes (lying lengths, internal
// frames, packed records whose declared sizes lie among them) written by a raw peer on loopback
// in pieces of an input-chosen size. The link must deliver exactly the records a plain reading
// of the frames finds before the first frame that cuts it, and then go down.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "fuzz_kit.h"
#include "netlib/net_frame.h"
#include "netlib/net_limits.h"
#include "netlib/net_pack.h"
#include "testkit/net_recorder.h"

namespace {

// The record bodies a reader finds in `bytes`: every whole record frame, unpacked when packed,
// up to a frame that cuts the link.
std::vector<std::string> Records(std::string_view bytes) {
  std::vector<std::string> records;
  while (true) {
    const netlib::stFrame f =
        netlib::PeekFrame(bytes.data(), bytes.size(), netlib::kDefaultMaxRecord);
    if (f.kind == netlib::eFrame::Record && f.packed) {
      const char* plain = nullptr;
      uint32_t size = 0;
      if (netlib::UnpackRecord(bytes.data() + netlib::kFrameHeader, f.body,
                               netlib::kDefaultMaxRecord, plain, size) != 0)
        return records;
      records.emplace_back(plain, size);
    } else if (f.kind == netlib::eFrame::Record) {
      records.emplace_back(bytes.substr(netlib::kFrameHeader, f.body));
    } else if (f.kind != netlib::eFrame::Internal) {
      return records;
    }
    bytes.remove_prefix(netlib::kFrameHeader + f.body);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testkit::cNetRecorder recorder;
  static testkit::cServerScope* server = [] {
    InitSocket();
    return new testkit::cServerScope(recorder);
  }();
  FuzzedDataProvider input(data, size);
  const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 64);
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  recorder.Clear();
  {
    testkit::cRawPeer peer(server->port);
    for (size_t at = 0; at < bytes.size(); at += piece)
      if (!peer.Write(bytes.data() + at, std::min(piece, bytes.size() - at))) break;
    peer.CloseWrite();
    const bool down = recorder.WaitCount(
        [](const testkit::stDelivery& d) {
          return d.kind == 1 && d.Type() == NetNotice_Server && d.Word(0) == NetEvent_Disconnected;
        },
        1, 10000);
    FUZZ_CHECK(down, bytes, "the link did not go down");
  }
  std::vector<std::string> got;
  for (const auto& d : recorder.Snapshot()) {
    if (d.kind == 2) got.emplace_back(d.bytes.begin(), d.bytes.end());
    if (d.kind == 1 && d.send) d.send->ReleaseLink();  // its id is free for the next link
  }
  const std::vector<std::string> want = Records(bytes);
  FUZZ_CHECK(got == want, bytes,
             std::to_string(got.size()) + " records, " + std::to_string(want.size()) + " expected");
  return 0;
}
