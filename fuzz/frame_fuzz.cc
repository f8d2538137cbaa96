// The frame decoder and a server link's receive path: arbitrary bytes (lying lengths, internal
// frames, the encoding switch among them) written by a raw peer on loopback in pieces of an
// input-chosen size. The link must deliver exactly the records a plain reading of the frames
// finds before the first frame that ends the comparison, and then go down.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "fuzz_kit.h"
#include "netlib/net_frame.h"
#include "netlib/net_limits.h"
#include "testkit/net_recorder.h"

namespace {

// The record bodies a reader finds in `bytes`: every whole record frame up to a frame that cuts
// the link or turns the encoding on (what follows it is read through the cipher).
std::vector<std::string> Records(std::string_view bytes, bool& switched) {
  std::vector<std::string> records;
  while (true) {
    const netlib::stFrame f =
        netlib::PeekFrame(bytes.data(), bytes.size(), netlib::kDefaultMaxRecord);
    if (f.kind == netlib::eFrame::Record) {
      records.emplace_back(bytes.substr(netlib::kFrameHeader, f.body));
    } else if (f.kind != netlib::eFrame::Internal) {
      return records;
    } else if (uint8_t(bytes[netlib::kFrameHeader]) == netlib::Internal_EncodeAsk) {
      switched = true;
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
  bool switched = false;
  const std::vector<std::string> want = Records(bytes, switched);
  const bool same =
      switched ? got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin())
               : got == want;
  FUZZ_CHECK(same, bytes,
             std::to_string(got.size()) + " records, " + std::to_string(want.size()) + " expected");
  return 0;
}
