// TLS 1.3 of encoded links: the contexts of listening and connecting sides, built from the PEM
// files under config/tls, and cTlsSession, the OpenSSL state of one connection over memory
// buffers, so that the link's own reads and writes carry its bytes. Contexts: built once, then
// read-only on any thread. A session: any thread; it serialises its calls itself.
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
  // alert worth sending).
  eStep Handshake(const char* in, size_t n, cByteBuffer& out);
  // Feeds `n` bytes read from the peer (none: only what is held already) and takes up to `cap`
  // bytes of records' text into `plain`, their count in `got`. More: text is still held;
  // Done: nothing more until the peer sends; Closed: the peer ended the session.
  eStep Read(const char* in, size_t n, char* plain, size_t cap, size_t& got);
  // Replaces the plain bytes in `batch` by their encrypted form, preceded by anything the
  // session still has to send. False when the session can no longer send.
  bool Seal(cByteBuffer& batch);
  // Why the last step failed, for log lines.
  const std::string& Error() const { return m_error; }
  // Whether a server's certificate names the server this client session expects.
  bool NamesPeer(X509* cert) const;

 private:
  void TakeError(const char* what);
  void Drain(cByteBuffer& out);

  std::mutex m_lock;  // every call into the OpenSSL state
  SSL* m_ssl = nullptr;
  BIO* m_in = nullptr;   // bytes from the peer, owned by m_ssl
  BIO* m_out = nullptr;  // bytes for the peer, owned by m_ssl
  const bool m_server;
  std::string m_peerName, m_peerIp;
  std::string m_error;
  cByteBuffer m_sealed;  // the encrypted batch being made
};

}  // namespace netlib
