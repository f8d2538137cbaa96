// TLS 1.3 of encoded links: the contexts of listening and connecting sides, built from the PEM
// files under config/tls, and cTlsSession, the TLS state of one connection. OpenSSL makes the
// hand-shake through a BIO of the session's own over the link's buffers; once it is done, the
// session keeps only the traffic keys (cTlsRecords) and frees OpenSSL's state, and records are
// opened straight out of the bytes the link read and sealed straight into the buffer the link
// writes from. Contexts: built once, then read-only on any thread. A session: the hand-shake
// and Read on the connection's strand, Seal on its writer.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netlib/net_send_queue.h"
#include "netlib/net_tls_records.h"

namespace netlib {

using tTlsContext = std::shared_ptr<boost::asio::ssl::context>;

// The folder of the certificates and keys, relative to the working folder (the home).
inline constexpr const char* kTlsFolder = "config/tls";

// A connecting side's context: trusts the certificates of `caFile`; presents `certFile` with
// `keyFile` when a server asks for a client certificate (both empty: none). Null with `error`
// naming the file that could not be used.
tTlsContext MakeClientTlsContext(const std::string& caFile, const std::string& certFile,
                                 const std::string& keyFile, std::string& error);
// The context of client link `name`: the files set by Net_SetClientTls, else config/tls/ca.crt
// and, when present, config/tls/NAME.crt + NAME.key, else client.crt + client.key.
tTlsContext ClientTlsContextFor(const std::string& name, std::string& error);
// The context of listening side `name`: config/tls/NAME.crt + NAME.key when the certificate is
// present, else server.crt + server.key; with `clientCerts`, clients must present a
// certificate that config/tls/ca.crt vouches for.
tTlsContext ServerTlsContextFor(const std::string& name, bool clientCerts, std::string& error);

class cTlsSession {
 public:
  enum class eStep { More, Done, Failed, Closed };

  // A server session, or a client one that accepts only a certificate naming `peerName` (a DNS
  // name) or `peerIp` (the address connected to); a server name given with
  // Net_SetClientTlsServerName replaces both.
  cTlsSession(boost::asio::ssl::context& context, bool server, std::string peerName,
              std::string peerIp);
  ~cTlsSession();
  cTlsSession(const cTlsSession&) = delete;
  cTlsSession& operator=(const cTlsSession&) = delete;

  // Feeds `n` bytes read from the peer into the hand-shake and appends what must be sent to
  // `out`. Done once the peer is verified and the traffic keys are taken over; Failed with
  // Error() set (`out` may then hold an alert worth sending). Bytes after the hand-shake's last
  // are kept for the first Read.
  eStep Handshake(const char* in, size_t n, cByteBuffer& out);
  // Opens the `n` bytes at `in`, read from the peer (none: goes on with those given before),
  // and takes up to `cap` bytes of records' text into `plain`, their count in `got`. More:
  // text or bytes are still held, and `in` must stay in place until the next call; Done:
  // every byte given was taken, nothing more until the peer sends; Closed: the peer ended the
  // session.
  eStep Read(const char* in, size_t n, char* plain, size_t cap, size_t& got);
  // Seals the `headSize` bytes at `head` and the `n` plain bytes at `plain` after them,
  // appending the records to `out` (the writer's). False (SealError()) when it failed.
  bool Seal(const char* head, size_t headSize, const char* plain, size_t n, cByteBuffer& out);
  bool Seal(const char* plain, size_t n, cByteBuffer& out) {
    return Seal(nullptr, 0, plain, n, out);
  }
  // Why the last hand-shake or read step failed, or the last seal, for log lines.
  const std::string& Error() const { return m_error; }
  const std::string& SealError() const;
  // The SHA-256 of the certificate the peer presented, as hexadecimal digits; empty when none
  // (or before the hand-shake is done). Taken while OpenSSL still holds the certificate.
  const std::string& PeerCertSha256() const { return m_peerCert; }
  // The names the peer's certificate carries: its DNS names and its common name.
  const std::vector<std::string>& PeerCertNames() const { return m_peerNames; }
  // Whether a server's certificate names the server this client session expects.
  bool NamesPeer(X509* cert) const;
  // Takes a traffic secret OpenSSL reports during the hand-shake (a key log line).
  static void TakeSecret(const SSL* ssl, const char* line);

 private:
  // Where the session's BIO takes bytes from and puts them during the hand-shake.
  struct stLinkIo {
    const char* in = nullptr;  // bytes from the peer not yet taken
    size_t inLeft = 0;
    cByteBuffer* out = nullptr;  // bytes for the peer
    cByteBuffer carry;           // bytes that came after the hand-shake's last
  };
  static BIO_METHOD* LinkBio();
  static int BioWrite(BIO* bio, const char* data, size_t size, size_t* written);
  static int BioRead(BIO* bio, char* data, size_t size, size_t* read);
  static long BioCtrl(BIO* bio, int cmd, long num, void* ptr);
  void TakeError(const char* what);
  // The hand-shake is done: the traffic keys leave OpenSSL, which lets go of its state.
  bool TakeOver();

  SSL* m_ssl = nullptr;  // until the hand-shake is done
  stLinkIo m_io;
  std::string m_clientSecret, m_serverSecret;  // during the hand-shake
  std::unique_ptr<cTlsRecords> m_records;      // once it is done
  const bool m_server;
  std::string m_peerName, m_peerIp;
  std::string m_error;
  std::string m_peerCert;
  std::vector<std::string> m_peerNames;
};

}  // namespace netlib
