// TLS 1.3 of encoded links: the contexts of listening and connecting sides, built from the PEM
// files under config/tls, and cTlsSession, the OpenSSL state of one connection. A session reads
// and writes through a BIO of its own over the link's buffers: it opens records' text straight
// out of the bytes the link read and seals straight into the buffer the link writes from.
// Contexts: built once, then read-only on any thread. A session: any thread; it serialises its
// calls itself (one mutex, held only while OpenSSL runs).
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <mutex>
#include <string>

#include "netlib/net_send_queue.h"

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
  // `out`. Done once the peer is verified; Failed with Error() set (`out` may then hold an
  // alert worth sending). Bytes after the hand-shake's last are kept for the first Read.
  eStep Handshake(const char* in, size_t n, cByteBuffer& out);
  // Opens the `n` bytes at `in`, read from the peer (none: goes on with those given before),
  // and takes up to `cap` bytes of records' text into `plain`, their count in `got`. More:
  // text or bytes are still held, and `in` must stay in place until the next call; Done:
  // every byte given was taken, nothing more until the peer sends; Closed: the peer ended the
  // session.
  eStep Read(const char* in, size_t n, char* plain, size_t cap, size_t& got);
  // Seals the `n` plain bytes at `plain` and appends the encrypted bytes to `out`, preceded by
  // anything the session still has to send. False when the session can no longer send.
  bool Seal(const char* plain, size_t n, cByteBuffer& out);
  // Why the last step failed, for log lines.
  const std::string& Error() const { return m_error; }
  // Whether a server's certificate names the server this client session expects.
  bool NamesPeer(X509* cert) const;

 private:
  // Where the session's BIO takes bytes from and puts them (m_lock).
  struct stLinkIo {
    const char* in = nullptr;  // bytes from the peer not yet taken
    size_t inLeft = 0;
    cByteBuffer* out = nullptr;  // bytes for the peer; null: m_pending
    cByteBuffer pending;         // bytes for the peer made outside Seal (alerts, key updates)
    cByteBuffer carry;           // bytes that came after the hand-shake's last
  };
  static BIO_METHOD* LinkBio();
  static int BioWrite(BIO* bio, const char* data, size_t size, size_t* written);
  static int BioRead(BIO* bio, char* data, size_t size, size_t* read);
  static long BioCtrl(BIO* bio, int cmd, long num, void* ptr);
  void TakeError(const char* what);

  std::mutex m_lock;  // every call into the OpenSSL state
  SSL* m_ssl = nullptr;
  stLinkIo m_io;
  const bool m_server;
  std::string m_peerName, m_peerIp;
  std::string m_error;
};

}  // namespace netlib
