#include "netlib/net_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "netlib/net_service.h"
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
  // A pipe or a device would hold the start at its opening or reading, for ever.
  std::error_code kind;
  if (std::filesystem::exists(file, kind) && !std::filesystem::is_regular_file(file, kind)) {
    error = "cannot read " + file + " (not a regular file)";
    return false;
  }
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
  // The traffic secrets reach the session, which takes the records over once the hand-shake
  // is done.
  SSL_CTX_set_keylog_callback(ctx, cTlsSession::TakeSecret);
  return context;
}

// A key other users of the machine may read lets them pose as this process. It is still used
// (the file may not be the process's to change), and the load says so.
void NameKeyOpenToOthers(const std::string& key) {
  struct stat st {};
  if (::stat(key.c_str(), &st) != 0 || (st.st_mode & S_IRWXO) == 0) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  cNetService::Instance().Log("the key " + key + " is open to other users (mode " + mode +
                              "): whoever read it can pose as this process; make it readable by "
                              "its owner only (chmod 600) and think of a new key");
}

// OpenSSL would otherwise ask the terminal, or standard input (the console's commands), for the
// passphrase of a protected key and wait there; a process has no one to answer, so none is given.
int NoPassphrase(char*, int, int, void* asked) {
  if (asked != nullptr) *static_cast<bool*>(asked) = true;
  return -1;
}

bool LoadKey(ssl::context& context, const std::string& key, std::string& error) {
  SSL_CTX* ctx = context.native_handle();
  bool asked = false;
  SSL_CTX_set_default_passwd_cb(ctx, NoPassphrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, &asked);
  const bool loaded =
      Load(key, error, [&](auto& ec) { context.use_private_key_file(key, ssl::context::pem, ec); });
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (!loaded && asked)
    error = "cannot use " + key +
            ": the key is protected by a passphrase, which no one is there to give; keep it "
            "without one (openssl pkey -in KEY -out NEW), readable by its owner only";
  return loaded;
}

bool LoadIdentity(ssl::context& context, const std::string& cert, const std::string& key,
                  std::string& error) {
  if (!Load(cert, error, [&](auto& ec) { context.use_certificate_chain_file(cert, ec); }) ||
      !LoadKey(context, key, error))
    return false;
  NameKeyOpenToOthers(key);
  return true;
}

int SessionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// A client's check of the server: OpenSSL checked the chain; the server's own certificate must
// also name the server the link was made for.
// The SHA-256 of a certificate as lower-case hexadecimal digits; empty for none.
std::string CertSha256(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &size) != 1) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

// The DNS names of a certificate and its common name, in that order.
std::vector<std::string> CertNames(X509* cert) {
  std::vector<std::string> names;
  if (cert == nullptr) return names;
  auto* alt =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt, i);
    if (name->type != GEN_DNS) continue;
    const ASN1_IA5STRING* dns = name->d.dNSName;
    names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                       static_cast<size_t>(ASN1_STRING_length(dns)));
  }
  GENERAL_NAMES_free(alt);
  char common[256];
  const int n =
      X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common, sizeof common);
  if (n > 0) names.emplace_back(common, static_cast<size_t>(n));
  return names;
}

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
  // One BIO both ways, over the link's buffers; OpenSSL's own read and write buffers are given
  // back whenever they run empty.
  BIO* bio = BIO_new(LinkBio());
  BIO_set_data(bio, &m_io);
  SSL_set_bio(m_ssl, bio, bio);
  SSL_set_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS);
  SSL_set_ex_data(m_ssl, SessionIndex(), this);
  if (server) {
    SSL_set_accept_state(m_ssl);
  } else {
    SSL_set_verify(m_ssl, SSL_VERIFY_PEER, VerifyServer);
    SSL_set_connect_state(m_ssl);
  }
}

cTlsSession::~cTlsSession() {
  SSL_free(m_ssl);  // frees the BIO
  OPENSSL_cleanse(m_clientSecret.data(), m_clientSecret.size());
  OPENSSL_cleanse(m_serverSecret.data(), m_serverSecret.size());
}

void cTlsSession::TakeSecret(const SSL* ssl, const char* line) {
  auto* session = static_cast<cTlsSession*>(SSL_get_ex_data(ssl, SessionIndex()));
  if (!session) return;
  // "LABEL <client random in hex> <secret in hex>"; only the first application secrets count.
  const char* label = line;
  const char* random = std::strchr(label, ' ');
  const char* hex = random ? std::strchr(random + 1, ' ') : nullptr;
  if (!hex) return;
  const std::string name(label, random);
  std::string* into = name == "CLIENT_TRAFFIC_SECRET_0"   ? &session->m_clientSecret
                      : name == "SERVER_TRAFFIC_SECRET_0" ? &session->m_serverSecret
                                                          : nullptr;
  if (!into) return;
  into->clear();
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (++hex; nibble(hex[0]) >= 0 && nibble(hex[1]) >= 0; hex += 2)
    into->push_back(static_cast<char>(nibble(hex[0]) << 4 | nibble(hex[1])));
}

bool cTlsSession::TakeOver() {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(m_ssl);
  const uint16_t suite = cipher ? SSL_CIPHER_get_protocol_id(cipher) : 0;
  m_records = cTlsRecords::Make(suite, m_server ? m_clientSecret : m_serverSecret,
                                m_server ? m_serverSecret : m_clientSecret);
  OPENSSL_cleanse(m_clientSecret.data(), m_clientSecret.size());
  OPENSSL_cleanse(m_serverSecret.data(), m_serverSecret.size());
  m_clientSecret.clear();
  m_serverSecret.clear();
  if (!m_records) {
    m_error = std::string("TLS hand-shake: cipher suite ") +
              (cipher ? SSL_CIPHER_get_name(cipher) : "none") + " not taken over";
    return false;
  }
  m_peerCert = CertSha256(SSL_get0_peer_certificate(m_ssl));
  m_peerNames = CertNames(SSL_get0_peer_certificate(m_ssl));
  SSL_free(m_ssl);
  m_ssl = nullptr;
  return true;
}

const std::string& cTlsSession::SealError() const {
  static const std::string none = "TLS session not established";
  return m_records ? m_records->SealError() : none;
}

// The BIO of every session's hand-shake: reads from the bytes the link gave, writes to the
// buffer the link writes from.
BIO_METHOD* cTlsSession::LinkBio() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tessel link");
    BIO_meth_set_write_ex(m, BioWrite);
    BIO_meth_set_read_ex(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, [](BIO* bio) {
      BIO_set_init(bio, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

int cTlsSession::BioWrite(BIO* bio, const char* data, size_t size, size_t* written) {
  auto* io = static_cast<stLinkIo*>(BIO_get_data(bio));
  if (!io->out) return 0;  // OpenSSL writes only within the hand-shake's steps
  std::memcpy(io->out->Extend(size), data, size);
  *written = size;
  return 1;
}

int cTlsSession::BioRead(BIO* bio, char* data, size_t size, size_t* read) {
  auto* io = static_cast<stLinkIo*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (!io->inLeft) {
    BIO_set_retry_read(bio);
    *read = 0;
    return 0;
  }
  const size_t n = std::min(size, io->inLeft);
  std::memcpy(data, io->in, n);
  io->in += n;
  io->inLeft -= n;
  *read = n;
  return 1;
}

long cTlsSession::BioCtrl(BIO* bio, int cmd, long, void*) {
  auto* io = static_cast<stLinkIo*>(BIO_get_data(bio));
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_PENDING:
      return static_cast<long>(io->inLeft);
    default:
      return 0;
  }
}

bool cTlsSession::NamesPeer(X509* cert) const {
  if (!m_peerName.empty() && X509_check_host(cert, m_peerName.c_str(), m_peerName.size(),
                                             X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1)
    return true;
  return !m_peerIp.empty() && X509_check_ip_asc(cert, m_peerIp.c_str(), 0) == 1;
}

void cTlsSession::TakeError(const char* what) {
  m_error = what;
  long verify = m_ssl ? SSL_get_verify_result(m_ssl) : X509_V_OK;
  if (verify != X509_V_OK) {
    m_error += std::string(": certificate refused: ") + X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH)
      m_error += " (expected " + m_peerName +
                 (m_peerName.empty() || m_peerIp.empty() ? "" : " or ") + m_peerIp + ")";
  }
  std::string why = OpenSslError();
  if (!why.empty()) m_error += ": " + why;
}

cTlsSession::eStep cTlsSession::Handshake(const char* in, size_t n, cByteBuffer& out) {
  if (!m_ssl) return eStep::Failed;
  ERR_clear_error();
  m_io.in = in;
  m_io.inLeft = n;
  m_io.out = &out;
  int r = SSL_do_handshake(m_ssl);
  m_io.out = nullptr;
  if (r == 1) {
    // Records the peer sent right behind its last hand-shake message wait for the first Read.
    m_io.carry.clear();
    if (m_io.inLeft) std::memcpy(m_io.carry.Extend(m_io.inLeft), m_io.in, m_io.inLeft);
    m_io.in = m_io.carry.data();
    return TakeOver() ? eStep::Done : eStep::Failed;
  }
  m_io.in = nullptr;
  m_io.inLeft = 0;
  int e = SSL_get_error(m_ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return eStep::More;
  TakeError("TLS hand-shake failed");
  return eStep::Failed;
}

cTlsSession::eStep cTlsSession::Read(const char* in, size_t n, char* plain, size_t cap,
                                     size_t& got) {
  got = 0;
  if (!m_records) return eStep::Failed;
  if (n) {
    m_io.in = in;
    m_io.inLeft = n;
  }
  switch (m_records->Open(m_io.in, m_io.inLeft, plain, cap, got)) {
    case cTlsRecords::eOpen::Full:
      return eStep::More;
    case cTlsRecords::eOpen::Done:
      m_io.in = nullptr;
      m_io.carry.Release();
      return eStep::Done;
    case cTlsRecords::eOpen::Closed:
      return eStep::Closed;
    case cTlsRecords::eOpen::Failed:
      break;
  }
  m_error = m_records->ReadError();
  return eStep::Failed;
}

bool cTlsSession::Seal(const char* head, size_t headSize, const char* plain, size_t n,
                       cByteBuffer& out) {
  return m_records && m_records->Seal(head, headSize, plain, n, out);
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
