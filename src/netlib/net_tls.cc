#include "netlib/net_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>

#include "tessel/contracts/netlib.h"

namespace netlib {

namespace ssl = boost::asio::ssl;

namespace {

// Files given by the program for its client links (Net_SetClientTls); empty CA: none given.
// The server name given for them (Net_SetClientTlsServerName); empty: none given.
struct stClientFiles {
  std::mutex lock;
  std::string ca, cert, key, serverName;
};
stClientFiles& ClientFiles() {
  static stClientFiles files;
  return files;
}

std::string TlsFile(const std::string& name) {
  return std::string(kTlsFolder) + "/" + name;
}

// The oldest error on this thread's OpenSSL queue, as text; the queue is emptied.
std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (!code) return "";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Runs one loading step; on failure names the file and why it could not be used.
template <typename Step>
bool Load(const std::string& file, std::string& error, Step step) {
  ERR_clear_error();
  std::ifstream probe(file);
  if (!probe) {
    error = "cannot read " + file + " (missing or unreadable)";
    return false;
  }
  boost::system::error_code ec;
  step(ec);
  if (!ec) return true;
  std::string why = OpenSslError();
  error = "cannot use " + file + ": " + (why.empty() ? ec.message() : why);
  return false;
}

tTlsContext NewContext(ssl::context::method method) {
  auto context = std::make_shared<ssl::context>(method);
  SSL_CTX* ctx = context->native_handle();
  // TLS 1.3 only; no session tickets: every connection makes a full hand-shake.
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  return context;
}

bool LoadIdentity(ssl::context& context, const std::string& cert, const std::string& key,
                  std::string& error) {
  return Load(cert, error, [&](auto& ec) { context.use_certificate_chain_file(cert, ec); }) &&
         Load(key, error,
              [&](auto& ec) { context.use_private_key_file(key, ssl::context::pem, ec); });
}

// Plain bytes encrypted per step, so the encrypted bytes are taken while still in cache.
constexpr size_t kSealStep = 64 * 1024;
// The most a session keeps for its next encrypted batch between batches.
constexpr size_t kSealKeepBytes = 16u << 20;

int SessionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// A client's check of the server: OpenSSL checked the chain; the server's own certificate must
// also name the server the link was made for.
int VerifyServer(int ok, X509_STORE_CTX* store) {
  if (!ok || X509_STORE_CTX_get_error_depth(store) != 0) return ok;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* session = static_cast<const cTlsSession*>(SSL_get_ex_data(ssl, SessionIndex()));
  if (session && session->NamesPeer(X509_STORE_CTX_get_current_cert(store))) return 1;
  X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
  return 0;
}

bool IsIpAddress(const std::string& name) {
  unsigned char address[16];
  return inet_pton(AF_INET, name.c_str(), address) == 1 ||
         inet_pton(AF_INET6, name.c_str(), address) == 1;
}

}  // namespace

tTlsContext MakeClientTlsContext(const std::string& caFile, const std::string& certFile,
                                 const std::string& keyFile, std::string& error) {
  tTlsContext context = NewContext(ssl::context::tls_client);
  // The server's certificate must be one for server use (a client's certificate, whose
  // extended key usage says client only, cannot pose as a server).
  SSL_CTX_set_purpose(context->native_handle(), X509_PURPOSE_SSL_SERVER);
  if (!Load(caFile, error, [&](auto& ec) { context->load_verify_file(caFile, ec); }))
    return nullptr;
  if ((!certFile.empty() || !keyFile.empty()) && !LoadIdentity(*context, certFile, keyFile, error))
    return nullptr;
  return context;
}

tTlsContext ClientTlsContextFor(const std::string& name, std::string& error) {
  {
    stClientFiles& given = ClientFiles();
    std::lock_guard<std::mutex> lock(given.lock);
    if (!given.ca.empty()) return MakeClientTlsContext(given.ca, given.cert, given.key, error);
  }
  std::string own = name.empty() ? "" : TlsFile(name + ".crt");
  std::string stem = !own.empty() && std::filesystem::exists(own) ? name : "client";
  if (!std::filesystem::exists(TlsFile(stem + ".crt")))
    return MakeClientTlsContext(TlsFile("ca.crt"), "", "", error);
  return MakeClientTlsContext(TlsFile("ca.crt"), TlsFile(stem + ".crt"), TlsFile(stem + ".key"),
                              error);
}

tTlsContext ServerTlsContextFor(const std::string& name, bool clientCerts, std::string& error) {
  tTlsContext context = NewContext(ssl::context::tls_server);
  std::string stem = std::filesystem::exists(TlsFile(name + ".crt")) ? name : "server";
  if (!LoadIdentity(*context, TlsFile(stem + ".crt"), TlsFile(stem + ".key"), error))
    return nullptr;
  if (clientCerts) {
    std::string ca = TlsFile("ca.crt");
    if (!Load(ca, error, [&](auto& ec) { context->load_verify_file(ca, ec); })) return nullptr;
    context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
    // And a client's certificate one for client use.
    SSL_CTX_set_purpose(context->native_handle(), X509_PURPOSE_SSL_CLIENT);
  }
  return context;
}

// ---- one session ---------------------------------------------------------------------------

cTlsSession::cTlsSession(ssl::context& context, bool server, std::string peerName,
                         std::string peerIp)
    : m_server(server), m_peerName(std::move(peerName)), m_peerIp(std::move(peerIp)) {
  // A server name the program gave replaces the link's name and the address connected to.
  if (!server) {
    stClientFiles& given = ClientFiles();
    std::lock_guard<std::mutex> lock(given.lock);
    if (!given.serverName.empty()) {
      const bool ip = IsIpAddress(given.serverName);
      m_peerName = ip ? "" : given.serverName;
      m_peerIp = ip ? given.serverName : "";
    }
  }
  m_ssl = SSL_new(context.native_handle());
  m_in = BIO_new(BIO_s_mem());
  m_out = BIO_new(BIO_s_mem());
  SSL_set_bio(m_ssl, m_in, m_out);
  SSL_set_ex_data(m_ssl, SessionIndex(), this);
  if (server) {
    SSL_set_accept_state(m_ssl);
  } else {
    SSL_set_verify(m_ssl, SSL_VERIFY_PEER, VerifyServer);
    SSL_set_connect_state(m_ssl);
  }
}

cTlsSession::~cTlsSession() {
  SSL_free(m_ssl);  // frees both memory buffers
}

bool cTlsSession::NamesPeer(X509* cert) const {
  if (!m_peerName.empty() && X509_check_host(cert, m_peerName.c_str(), m_peerName.size(),
                                             X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1)
    return true;
  return !m_peerIp.empty() && X509_check_ip_asc(cert, m_peerIp.c_str(), 0) == 1;
}

void cTlsSession::TakeError(const char* what) {
  m_error = what;
  long verify = SSL_get_verify_result(m_ssl);
  if (verify != X509_V_OK) {
    m_error += std::string(": certificate refused: ") + X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH)
      m_error += " (expected " + m_peerName +
                 (m_peerName.empty() || m_peerIp.empty() ? "" : " or ") + m_peerIp + ")";
  }
  std::string why = OpenSslError();
  if (!why.empty()) m_error += ": " + why;
}

void cTlsSession::Drain(cByteBuffer& out) {
  size_t pending = BIO_ctrl_pending(m_out);
  if (!pending) return;
  char* at = out.Extend(pending);
  int n = BIO_read(m_out, at, static_cast<int>(pending));
  out.Truncate(out.size() - pending + (n > 0 ? static_cast<size_t>(n) : 0));
}

cTlsSession::eStep cTlsSession::Handshake(const char* in, size_t n, cByteBuffer& out) {
  std::lock_guard<std::mutex> lock(m_lock);
  ERR_clear_error();
  if (n) BIO_write(m_in, in, static_cast<int>(n));
  int r = SSL_do_handshake(m_ssl);
  Drain(out);
  if (r == 1) return eStep::Done;
  int e = SSL_get_error(m_ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return eStep::More;
  TakeError("TLS hand-shake failed");
  return eStep::Failed;
}

cTlsSession::eStep cTlsSession::Read(const char* in, size_t n, char* plain, size_t cap,
                                     size_t& got) {
  std::lock_guard<std::mutex> lock(m_lock);
  ERR_clear_error();
  if (n) BIO_write(m_in, in, static_cast<int>(n));
  got = 0;
  while (got < cap) {
    int r = SSL_read(m_ssl, plain + got, static_cast<int>(std::min<size_t>(cap - got, 1 << 30)));
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return eStep::Done;
    if (e == SSL_ERROR_ZERO_RETURN) return eStep::Closed;
    TakeError("TLS read failed");
    return eStep::Failed;
  }
  return SSL_pending(m_ssl) > 0 || BIO_ctrl_pending(m_in) > 0 ? eStep::More : eStep::Done;
}

bool cTlsSession::Seal(cByteBuffer& batch) {
  std::lock_guard<std::mutex> lock(m_lock);
  ERR_clear_error();
  m_sealed.clear();
  Drain(m_sealed);
  for (size_t at = 0; at < batch.size();) {
    int r = SSL_write(m_ssl, batch.data() + at,
                      static_cast<int>(std::min<size_t>(batch.size() - at, kSealStep)));
    if (r <= 0) {
      TakeError("TLS write failed");
      batch.clear();
      return false;
    }
    at += static_cast<size_t>(r);
    Drain(m_sealed);
  }
  // The plain batch's buffer takes the next encrypted one: a busy link allocates nothing more
  // (an outsize one is given back).
  batch.swap(m_sealed);
  if (m_sealed.capacity() > kSealKeepBytes) m_sealed.Release();
  return true;
}

}  // namespace netlib

void Net_SetClientTls(const char* caFile, const char* certFile, const char* keyFile) {
  auto& given = netlib::ClientFiles();
  std::lock_guard<std::mutex> lock(given.lock);
  given.ca = caFile ? caFile : "";
  given.cert = certFile ? certFile : "";
  given.key = keyFile ? keyFile : "";
}

void Net_SetClientTlsServerName(const char* name) {
  auto& given = netlib::ClientFiles();
  std::lock_guard<std::mutex> lock(given.lock);
  given.serverName = name ? name : "";
}
