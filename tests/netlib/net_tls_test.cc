#include "netlib/net_tls.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <thread>

#include "netlib/net_frame.h"
#include "testkit/file_text.h"
#include "testkit/net_recorder.h"
#include "testkit/net_streams.h"
#include "testkit/temp_dir.h"
#include "testkit/tls_files.h"

namespace {

using namespace testkit;
namespace asio = boost::asio;
namespace ssl = asio::ssl;

constexpr uint32_t kLargest = 4096;
constexpr uint32_t kSizes[] = {10, 3001, 501};  // the records of the split streams

// The working folder from the first call on: config/tls holds a CA, the server certificates
// "testserver" (the kit server's name, so its own), "elsewhere" and "127.0.0.1", and the client
// certificate "client"; other/ a second CA. A name that leads out of the folder is refused; a
// certificate the CA cannot sign leaves the pair already there as it was, and nothing beside it;
// a ca.crt whose key is gone is never replaced by a new CA.
const cTempDir& Home() {
  static const cTempDir home(cTempDir::kWorkDir);
  static const bool made = [] {
    bool ok =
        MakeTlsFiles(home / "config/tls", {"testserver", "elsewhere", "127.0.0.1"}, {"client"}) &&
        MakeTlsFiles(home / "other", {"testserver"}) &&
        !MakeTlsFiles(home / "other", {"../escape"}) &&
        !std::filesystem::exists(home / "escape.key");
    const std::string key = ReadFile(home / "other/testserver.key"), ca = "other/ca.key";
    std::filesystem::rename(home / ca, home / "ca.key");
    const std::string caCrt = ReadFile(home / "other/ca.crt");
    ok = !MakeTlsFiles(home / "other", {"testserver"}) && ok;
    EXPECT_EQ(ReadFile(home / "other/ca.crt"), caCrt);
    WriteFile(home / ca, "broken");
    ok = !MakeTlsFiles(home / "other", {"testserver"}) && ok;
    std::filesystem::rename(home / "ca.key", home / ca);
    EXPECT_EQ(ReadFile(home / "other/testserver.key"), key);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "other"), {}), 6);
    return ok;
  }();
  EXPECT_TRUE(made);
  return home;
}

template <typename Info>
Info Words(Info info, uint32_t encode, uint32_t compress) {
  for (auto [word, value] : {std::pair{stNetParam::NetParam_Encode, encode},
                             {stNetParam::NetParam_Compress, compress},
                             {stNetParam::NetParam_MaxRecvRecord, kLargest},
                             {stNetParam::NetParam_MaxSendRecord, kLargest},
                             {stNetParam::NetParam_SendQueueKB, 8192u}})
    info.net.word[word] = value;
  return info;
}
stServerInfo Server(uint32_t encode, uint32_t compress) {
  return Words(cServerScope::Defaults(), encode, compress);
}
stClientInfo Client(const char* name, uint32_t encode, uint32_t compress) {
  stClientInfo info;
  info.name = name;
  return Words(info, encode, compress);
}

// A record of `size` bytes: odd sizes repeat a short text (they pack well), even ones are noise.
std::vector<char> Body(uint32_t size) {
  std::vector<char> r(size);
  uint64_t x = size * 0x9E3779B97F4A7C15ull | 1;
  for (uint32_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    r[i] = size % 2 ? "tessel "[i % 7] : char(x);
  }
  return r;
}

// Sends every record back on the link it came on.
struct cEcho : cNetRecorder {
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    if (kind == 2) send->Send(static_cast<const stMsg*>(data), size);
    return cNetRecorder::OnMessage(kind, data, size, send);
  }
};

// Whether `rec` delivered the records of kSizes, in turn, `rounds` times over.
bool Repeats(cNetRecorder& rec, int rounds) {
  if (!rec.WaitCount(RecordOf(), 3 * rounds, 20000)) return false;
  int i = 0;
  for (const auto& d : rec.Snapshot())
    if (d.kind == 2 && d.bytes != Body(kSizes[i++ % 3])) return false;
  return i == 3 * rounds;
}

// A TLS client of OpenSSL's own on a blocking socket, trusting the CA of `ca`.
struct cPlainTlsClient {
  explicit cPlainTlsClient(const std::string& ca) {
    context.load_verify_file(ca);
    stream.set_verify_mode(ssl::verify_peer);
  }
  // True once a TLS 1.3 hand-shake with 127.0.0.1:port is done.
  bool Connect(unsigned short port) {
    boost::system::error_code ec;
    stream.next_layer().connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    if (!ec) stream.handshake(ssl::stream_base::client, ec);
    return !ec && SSL_version(stream.native_handle()) == TLS1_3_VERSION;
  }
  asio::io_context io;
  ssl::context context{ssl::context::tls_client};
  ssl::stream<asio::ip::tcp::socket> stream{io, context};
};

// A TLS client of OpenSSL's own over memory buffers that writes `frames` in the same write as
// its last hand-shake message, so that they arrive right behind it (with `tamper`, one bit of
// their record flipped); false when the hand-shake failed.
bool SendRightBehindTheHandshake(unsigned short port, const std::string& ca,
                                 const std::vector<char>& frames, bool tamper = false) {
  ssl::context context{ssl::context::tls_client};
  context.load_verify_file(ca);
  SSL* tls = SSL_new(context.native_handle());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(tls, BIO_new(BIO_s_mem()), out);
  SSL_set_verify(tls, SSL_VERIFY_PEER, nullptr);
  SSL_set_connect_state(tls);
  cRawPeer peer(port);
  auto flush = [&] {
    char* pending = nullptr;
    long n = BIO_get_mem_data(out, &pending);
    if (n > 0) peer.Write(pending, size_t(n));
    (void)BIO_reset(out);
  };
  int done = 0;
  for (int step = 0; step < 50 && (done = SSL_do_handshake(tls)) != 1; ++step) {
    flush();
    if (SSL_get_error(tls, done) != SSL_ERROR_WANT_READ) break;
    std::vector<char> record;  // one TLS record: its header gives its length
    peer.ReadUntil(record, kWaitMs, 5);
    if (record.size() == 5)
      peer.ReadUntil(record, kWaitMs, 5 + (uint8_t(record[3]) << 8 | uint8_t(record[4])));
    BIO_write(SSL_get_rbio(tls), record.data(), int(record.size()));
  }
  if (done == 1) SSL_write(tls, frames.data(), int(frames.size()));
  if (tamper) {  // the last byte of the record's tag
    char* pending = nullptr;
    if (BIO_get_mem_data(out, &pending) > 0) pending[BIO_get_mem_data(out, nullptr) - 1] ^= 1;
  }
  flush();
  SSL_free(tls);
  return done == 1;
}

// Writes `bytes` in two parts, cut at each place from 0 on in steps of `step`, with a pause
// between the parts; the number of times the bytes were written.
template <typename Write>
int WriteCutEverywhere(const std::vector<char>& bytes, size_t step, Write write) {
  int rounds = 0;
  for (size_t at = 0; at <= bytes.size(); at += at < 40 ? 1 : step, ++rounds) {
    if (at) write(bytes.data(), at);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    write(bytes.data() + at, bytes.size() - at);
  }
  return rounds;
}

// Every size from 0 to the largest, both ways (the server sends each record back), in order and
// byte-exact, over TLS, packed and both; the client reports the agreement right after its connect.
TEST(NetTls, RecordsOfEverySizeArriveByteExactOverTlsAndPackedLinksBothWays) {
  Home();
  for (auto [encode, compress] : {std::pair{1u, 0u}, {0u, 1u}, {1u, 1u}}) {
    SCOPED_TRACE(encode * 10 + compress);
    cEcho echo;
    cServerScope s(echo, Server(encode, compress));
    cNetRecorder crec;
    cClientScope c(crec, s.port, Client("testserver", encode, compress));
    ASSERT_TRUE(crec.WaitCount(ClientState(NetState_EncodeOk)));
    EXPECT_EQ(crec.IndexOf(ClientState(NetState_EncodeOk)), 1);
    for (uint32_t size = 0; size <= kLargest; ++size) {
      while (c.client->GetUnsentBytes() > (1 << 20))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_EQ(Send(c.client, Body(size)), 1) << size;
    }
    ASSERT_TRUE(crec.WaitCount(RecordOf(), kLargest + 1, 60000));
    uint32_t size = 0;
    for (const auto& d : crec.Snapshot()) {
      if (d.kind == 1) continue;  // a state, not a record
      ASSERT_TRUE(d.bytes == Body(size)) << "record of " << size << " bytes";
      ++size;
    }
    EXPECT_EQ(echo.Count(RecordOf()), kLargest + 1);
  }
}

// The frames of three records, two of them packed: from a standard TLS 1.3 client (one trusting
// another CA fails its hand-shake), in two parts cut at every place of interest and in the same
// write as the client's last hand-shake message; and as the bytes a packing server sent, written
// again to a server cut likewise. Then a packed record that declares more than the largest
// record is refused before it is unpacked.
TEST(NetTls, FramesCutAnywhereArriveWholeFromAStandardTlsClientAndAsPackedBytes) {
  Home();
  cNetRecorder packerRec, tlsRec, plainRec;
  cServerScope packer(packerRec, Server(0, 1));
  cRawPeer reader(packer.port);
  ASSERT_TRUE(packerRec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
  std::vector<char> packed, frames;
  for (uint32_t size : kSizes) {
    ASSERT_EQ(Send(packer.server->GetLink(1), Body(size)), 1);
    const auto body = Body(size);
    frames.insert(frames.end(), {char(size), char(size >> 8), 0, 0});
    frames.insert(frames.end(), body.begin(), body.end());
  }
  reader.ReadUntil(packed, 500);
  ASSERT_LT(packed.size(), frames.size() - 2000);  // the 3001-byte record went packed

  cServerScope tls(tlsRec, Server(1, 0));
  cServerScope plain(plainRec, Server(0, 0));
  cPlainTlsClient stranger(Home().file("other/ca.crt")), standard(Home().file("config/tls/ca.crt"));
  EXPECT_FALSE(stranger.Connect(tls.port));
  ASSERT_TRUE(standard.Connect(tls.port));
  cRawPeer raw(plain.port);
  const int rounds = WriteCutEverywhere(frames, 97, [&](const char* p, size_t n) {
    asio::write(standard.stream, asio::buffer(p, n));
  });
  EXPECT_TRUE(Repeats(tlsRec, rounds));
  EXPECT_TRUE(SendRightBehindTheHandshake(tls.port, Home().file("config/tls/ca.crt"), frames));
  EXPECT_TRUE(Repeats(tlsRec, rounds + 1));
  EXPECT_TRUE(Repeats(
      plainRec, WriteCutEverywhere(packed, 1, [&](const char* p, size_t n) { raw.Write(p, n); })));
  netlib::PutLe32(packed.data() + 18, kLargest + 1);  // the plain size of the packed 3001 bytes
  raw.Write(packed);
  ASSERT_TRUE(plainRec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  EXPECT_EQ(plainRec.DisconnectReason(1), int(NetReason_RecvPackBig));
}

// Peers that fail the hand-shake or the certificate checks: the server never delivers a record
// and cuts the link with reason 4; the client's link goes down, and where the client refused the
// server it never reported the agreement. A certificate serves only the side its extended key
// usage names. The last ones pass, for contrast.
// A key open to others is named at the load; a pipe for a certificate is refused, not waited on.
TEST(NetTls, AKeyOpenToOthersIsNamedAndAPipeIsRefused) {
  namespace fs = std::filesystem;
  const fs::path tls = Home() / "config/tls";
  fs::permissions(tls / "testserver.key", fs::perms::others_read, fs::perm_options::add);
  std::string error;
  testing::internal::CaptureStderr();
  EXPECT_NE(netlib::ServerTlsContextFor("testserver", false, error), nullptr) << error;
  EXPECT_NE(testing::internal::GetCapturedStderr().find("testserver.key is open to other users"),
            std::string::npos);
  fs::permissions(tls / "testserver.key", fs::perms::others_read, fs::perm_options::remove);
  ASSERT_TRUE(::mkfifo((tls / "pipe.crt").c_str(), 0600) == 0 || errno == EEXIST);
  EXPECT_EQ(netlib::ServerTlsContextFor("pipe", false, error), nullptr);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(NetTls, PeersThatFailTheHandshakeOrTheCertificateChecksAreCutAndDeliverNothing) {
  const struct {
    const char* what;
    uint32_t serverEncode, clientEncode;
    const char* name;        // the client link's, and the server's when `server` is null
    const char* server;      // the listening side's name (its certificate's), else the kit's
    const char* ca;          // the client's trust, in place of config/tls
    const char* clientCert;  // the client's certificate from config/tls, in place of NAME.crt
    bool clientRefuses, passes;
  } cases[] = {
      {"plain peer on a TLS port", 1, 0, "testserver", nullptr, nullptr, nullptr, false, false},
      {"certificate naming another server", 1, 1, "elsewhere", nullptr, nullptr, nullptr, true, 0},
      {"server's CA unknown to the client", 1, 1, "testserver", 0, "other/ca.crt", 0, true, false},
      {"client's certificate presented as a server's", 1, 1, "client", "client", 0, 0, true, false},
      {"no client certificate where one is demanded", 2, 1, "testserver", nullptr,
       "config/tls/ca.crt", nullptr, false, false},
      {"server's certificate presented as a client's", 2, 1, "testserver", 0, 0, 0, false, false},
      {"client certificate where one is demanded", 2, 1, "testserver", 0, 0, "client", false, true},
      {"certificate naming the address", 1, 1, "elsewhere", "127.0.0.1", 0, 0, false, true},
  };
  Home();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string ca = Home().file(k.ca ? k.ca : "config/tls/ca.crt");
    const std::string cert = k.clientCert ? Home().file("config/tls/") + k.clientCert : "";
    Net_SetClientTls(k.ca || k.clientCert ? ca.c_str() : nullptr,
                     cert.empty() ? nullptr : (cert + ".crt").c_str(),
                     cert.empty() ? nullptr : (cert + ".key").c_str());
    cNetRecorder srec, crec;
    stNetCounters before, after;
    Net_GetCounters(before);
    stServerInfo info = Server(k.serverEncode, 0);
    if (k.server) std::strcpy(info.name, k.server);
    cServerScope s(srec, info);
    cClientScope c(crec, s.port, Client(k.name, k.clientEncode, 0));
    // A plain peer speaks first; a TLS client can send once it is up.
    Send(c.client, Body(10));
    ASSERT_TRUE(crec.WaitFor([](auto& all) {
      return std::ranges::any_of(all, ClientState(NetState_EncodeOk)) ||
             std::ranges::any_of(all, ClientState(NetState_ServerDown));
    }));
    Send(c.client, Body(10));
    if (k.passes) {
      EXPECT_TRUE(srec.WaitCount(RecordOf()));
      Net_GetCounters(after);
      EXPECT_EQ(after.tlsHandshakeFailures, before.tlsHandshakeFailures);
      continue;
    }
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
    EXPECT_EQ(srec.DisconnectReason(1), int(NetReason_Encode));
    Net_GetCounters(after);
    EXPECT_GT(after.tlsHandshakeFailures, before.tlsHandshakeFailures);
    EXPECT_GT(after.cuts[NetReason_Encode], before.cuts[NetReason_Encode]);
    EXPECT_TRUE(crec.WaitCount(ClientState(NetState_ServerDown)));
    EXPECT_EQ(crec.Has(ClientState(NetState_EncodeOk)), !k.clientRefuses && k.clientEncode);
    EXPECT_EQ(srec.Count(RecordOf()), 0u);
  }
  Net_SetClientTls(nullptr, nullptr, nullptr);
}

// Large records over TLS: threads sharing one link (each record sealed straight from its
// sender's bytes or from the queue, racing the I/O thread's turns), then records one at a time
// into a socket that a stalled receiver lets fill, so that a sealed record leaves only in part
// and those after it queue; every stream arrives whole and in order.
TEST(NetTls, LargeRecordsFromSharingThreadsOrIntoAFullSocketArriveWholeAndInOrderOverTls) {
#ifdef TESSEL_SANITIZED
  const uint32_t kPerThread = 300;
#else
  const uint32_t kPerThread = 2000;
#endif
  Home();
  ExpectSharedLinkStreamsWhole(1, kPerThread);
  ExpectPartlyTakenRecordsWhole(1);
}

// A standard TLS 1.3 client reads back what the server's link sealed, also after each side
// updated its keys at the other's request; a record that fails its check cuts the link
// (reason 4) and delivers nothing.
TEST(NetTls, AStandardClientReadsTheLinksRecordsAcrossKeyUpdatesAndABrokenRecordCutsTheLink) {
  Home();
  cEcho echo;
  cServerScope s(echo, Server(1, 0));
  cPlainTlsClient client(Home().file("config/tls/ca.crt"));
  ASSERT_TRUE(client.Connect(s.port));
  std::vector<char> frames;
  for (uint32_t size : kSizes) {
    const auto body = Body(size);
    frames.insert(frames.end(), {char(size), char(size >> 8), 0, 0});
    frames.insert(frames.end(), body.begin(), body.end());
  }
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round) {
      ASSERT_EQ(SSL_key_update(client.stream.native_handle(), SSL_KEY_UPDATE_REQUESTED), 1);
    }
    asio::write(client.stream, asio::buffer(frames));
    std::vector<char> back(frames.size());
    boost::system::error_code ec;
    asio::read(client.stream, asio::buffer(back), ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_TRUE(back == frames);
  }
  EXPECT_TRUE(SendRightBehindTheHandshake(s.port, Home().file("config/tls/ca.crt"), frames, true));
  ASSERT_TRUE(echo.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
  EXPECT_EQ(echo.DisconnectReason(2), int(NetReason_Encode));
  EXPECT_EQ(echo.Count([](auto& d) { return RecordOf()(d) && d.id == 2; }), 0u);
}

}  // namespace
