#include "tessel_cli/cli_probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "tessel/msg/msg_records.h"
#include "tessel_cli/cli_options.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long one probe may take in all, from its connect to its last read.
constexpr std::chrono::milliseconds kProbeTime{3000};

// Waits until `fd` is ready for `events`; false once `deadline` has passed first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{fd, events, 0};
    const int n = ::poll(&ready, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

tProbeResolver g_resolve = &::getaddrinfo;

// A host name's lookup, shared by the probes that wait for it and the thread that makes it; its
// host and resolver are set before the thread starts.
struct stLookup {
  std::string host;
  tProbeResolver resolve = nullptr;
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool found = false;
  sockaddr_in address{};
};

// Looks `lookup`'s host up (on the thread that makes the lookup) and tells the waiting probe.
void LookUp(const std::shared_ptr<stLookup>& lookup) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const bool ok = lookup->resolve(lookup->host.c_str(), nullptr, &hints, &found) == 0 &&
                  found != nullptr && found->ai_addrlen >= sizeof(sockaddr_in);
  std::lock_guard<std::mutex> hold(lookup->lock);
  if (ok) std::memcpy(&lookup->address, found->ai_addr, sizeof(sockaddr_in));
  if (found != nullptr) ::freeaddrinfo(found);
  lookup->found = ok;
  lookup->finished = true;
  lookup->done.notify_all();
}

// The lookup of a host name still running; a later probe of the same name waits for it instead
// of starting another, so a resolver that does not answer holds one thread, not one a probe.
std::shared_ptr<stLookup> g_running;

// `host`'s lookup on a thread of its own (or the one still running); null when no thread can be
// made: looked up on the probe's own thread, a resolver that did not answer held it unbounded.
std::shared_ptr<stLookup> StartLookUp(const std::string& host) {
  if (g_running != nullptr && g_running->host == host && g_running->resolve == g_resolve) {
    std::lock_guard<std::mutex> hold(g_running->lock);
    if (!g_running->finished) return g_running;
  }
  auto lookup = std::make_shared<stLookup>();
  lookup->host = host;
  lookup->resolve = g_resolve;
  try {
    std::thread([lookup] { LookUp(lookup); }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  g_running = lookup;
  return lookup;
}

// The server's address: an IPv4 address as given, else the host name looked up on a thread of
// its own, waited for until `deadline` (a resolver that does not answer held every probe as
// long as it waited, several probes in a row): 0, or kLookupLate, kNoAddress or kLookupNoThread.
int AddressOf(const stCliOptions& options, Clock::time_point deadline, sockaddr_in& address) {
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(options.port));
  if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) == 1) return 0;
  const std::shared_ptr<stLookup> lookup = StartLookUp(options.host);
  if (lookup == nullptr) return kLookupNoThread;
  std::unique_lock<std::mutex> hold(lookup->lock);
  if (!lookup->done.wait_until(hold, deadline, [&lookup] { return lookup->finished; }))
    return kLookupLate;
  if (!lookup->found) return kNoAddress;
  address.sin_addr = lookup->address.sin_addr;
  return 0;
}

// A non-blocking TCP connection to the server made before `deadline`: the descriptor, or -1
// with the errno in `error`.
int Connect(const stCliOptions& options, Clock::time_point deadline, int& error) {
  sockaddr_in address{};
  error = AddressOf(options, deadline, address);
  if (error != 0) return -1;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  error = fd < 0 ? errno : 0;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    socklen_t length = sizeof error;
    if (error == EINPROGRESS)
      error = WaitFor(fd, POLLOUT, deadline) &&
                      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                  ? error
                  : ETIMEDOUT;
  }
  if (error != 0 && fd >= 0) ::close(fd);
  return error != 0 ? -1 : fd;
}

// Runs `step` (an SSL call on `fd`) again while it waits for the socket, until it ends or
// `deadline` passes: its result, and in `late` whether the deadline ended it.
template <class tStep>
int WithinDeadline(SSL* ssl, int fd, Clock::time_point deadline, bool& late, tStep step) {
  for (;;) {
    const int result = step();
    if (result > 0) return result;
    const int why = SSL_get_error(ssl, result);
    if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return result;
    if (!WaitFor(fd, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
      late = true;
      return result;
    }
  }
}

// The first error OpenSSL noted, into the probe.
void TakeRefusal(stProbe& probe) {
  const unsigned long error = ERR_peek_error();
  probe.refusal = ERR_GET_REASON(error);
  const char* text = ERR_reason_error_string(error);
  probe.refusalText = text != nullptr ? text : "";
  ERR_clear_error();
}

// A context that checks the server as the link does: the CA, server use, the server's name.
void SetChecks(SSL_CTX* context, const stCliOptions& options) {
  SSL_CTX_load_verify_locations(context, options.ca.c_str(), nullptr);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
  const std::string name = options.ServerName();
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1)
    X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
  if (!options.cert.empty()) {
    SSL_CTX_use_certificate_chain_file(context, options.cert.c_str());
    SSL_CTX_use_PrivateKey_file(context, options.key.c_str(), SSL_FILETYPE_PEM);
  }
}

}  // namespace

void SetProbeResolver(tProbeResolver resolve) {
  g_resolve = resolve != nullptr ? resolve : &::getaddrinfo;
}

stProbe ProbeTls(const stCliOptions& options, bool verify) {
  stProbe probe;
  const Clock::time_point deadline = Clock::now() + kProbeTime;
  const int fd = Connect(options, deadline, probe.connectError);
  if (fd < 0) return probe;
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
  if (verify) SetChecks(context, options);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  probe.handshakeDone =
      WithinDeadline(ssl, fd, deadline, probe.timedOut, [ssl] { return SSL_connect(ssl); }) == 1;
  probe.verify = SSL_get_verify_result(ssl);
  if (!probe.handshakeDone) {
    TakeRefusal(probe);
  } else {
    // A server's verdict on the client's certificate comes after the hand-shake, as an alert.
    char byte = 0;
    if (WithinDeadline(ssl, fd, deadline, probe.timedOut,
                       [ssl, &byte] { return SSL_read(ssl, &byte, 1); }) <= 0)
      TakeRefusal(probe);
  }
  // An alert of the server's (its reasons come from 1000 on) is TLS too.
  probe.tls = probe.handshakeDone || probe.verify != X509_V_OK || probe.refusal >= 1000;
  SSL_free(ssl);
  SSL_CTX_free(context);
  ::close(fd);
  return probe;
}

bool ProbePlain(const stCliOptions& options) {
  const Clock::time_point deadline = Clock::now() + kProbeTime;
  int error = 0;
  const int fd = Connect(options, deadline, error);
  if (fd < 0) return false;
  // A framed command record "Mark(0)" for the login group, which a Tessel server answers to
  // anyone; a TLS server sends nothing to a peer that does not speak TLS.
  const char text[] = "Mark(0)";
  constexpr std::uint32_t size = (8 + sizeof text + 3) / 4 * 4;
  char frame[4 + size] = {};
  const auto type = static_cast<std::uint16_t>(stMsg_Cmd::s_nType);
  const std::int32_t group = 2;
  std::memcpy(frame, &size, 4);
  std::memcpy(frame + 4, &type, 2);
  std::memcpy(frame + 8, &group, 4);
  std::memcpy(frame + 12, text, sizeof text);
  char answer = 0;
  const bool answered = WaitFor(fd, POLLOUT, deadline) &&
                        ::send(fd, frame, sizeof frame, MSG_NOSIGNAL) == ssize_t(sizeof frame) &&
                        WaitFor(fd, POLLIN, deadline) && ::recv(fd, &answer, 1, 0) == 1;
  ::close(fd);
  return answered;
}

int ProbeConnect(const stCliOptions& options) {
  int error = 0;
  const int fd = Connect(options, Clock::now() + kProbeTime, error);
  if (fd >= 0) ::close(fd);
  return error;
}

std::string ConnectFailure(int error, const stCliOptions& options) {
  // A name without an address was told as 'No route to host', which sent the operator after
  // the network.
  if (error == kNoAddress) return "no address found for " + options.host;
  if (error == kLookupNoThread)
    return "the lookup of " + options.host + " could not start: no thread could be made for it";
  if (error == kLookupLate)
    return "the lookup of " + options.host + " did not end within " +
           std::to_string(kProbeTime.count() / 1000) + " s";
  return std::strerror(error);
}

std::string CheckTlsFiles(stCliOptions& options, const std::string& defaultCa) {
  namespace fs = std::filesystem;
  if (options.ca.empty()) options.ca = defaultCa;
  std::error_code ec;
  for (std::string* file : {&options.ca, &options.cert, &options.key})
    if (!file->empty()) *file = fs::absolute(*file, ec).string();
  if (!fs::is_regular_file(options.ca, ec))
    return "no CA certificate to check the server with: give --ca FILE" +
           (options.ca.empty() ? "" : " (there is none at " + options.ca + ")");
  // A pipe or a device would hold the check at its opening for ever, and the link refuses it.
  for (const auto& [file, what] : {std::pair{&options.cert, "certificate"}, {&options.key, "key"}})
    if (!file->empty() && !fs::is_regular_file(*file, ec))
      return std::string("cannot use the ") + what + " file " + *file +
             (fs::exists(*file, ec) ? " (not a regular file)" : " (there is none)");
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  // A key under a passphrase is refused, as the link does, rather than asked for here.
  bool asked = false;
  SSL_CTX_set_default_passwd_cb(context, [](char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
  });
  SSL_CTX_set_default_passwd_cb_userdata(context, &asked);
  std::string problem;
  if (SSL_CTX_load_verify_locations(context, options.ca.c_str(), nullptr) != 1) {
    problem = "cannot use the CA file " + options.ca;
  } else if (!options.cert.empty() &&
             SSL_CTX_use_certificate_chain_file(context, options.cert.c_str()) != 1) {
    problem = "cannot use the certificate file " + options.cert;
  } else if (!options.key.empty() &&
             (SSL_CTX_use_PrivateKey_file(context, options.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
              SSL_CTX_check_private_key(context) != 1)) {
    problem = "cannot use the key file " + options.key + " with " + options.cert;
  }
  if (!problem.empty()) {
    stProbe why;
    TakeRefusal(why);
    if (asked) why.refusalText = "it is protected by a passphrase; give a key without one";
    if (!why.refusalText.empty()) problem += ": " + why.refusalText;
  }
  SSL_CTX_free(context);
  return problem;
}

std::string TlsFailure(const stProbe& probe, const stCliOptions& options) {
  switch (probe.verify) {
    case X509_V_OK:
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "the server's certificate does not name " + options.ServerName() +
             " (--server-name NAME checks a name it carries)";
    case X509_V_ERR_INVALID_PURPOSE:
      return "the server's certificate is not one for server use (a client's certificate?)";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return "the server's certificate is not signed by the CA in " + options.ca;
    default:
      return std::string("the server's certificate was refused: ") +
             X509_verify_cert_error_string(probe.verify);
  }
  if (probe.refusal == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)
    return "the server demands a client certificate: give --cert FILE --key FILE";
  if (probe.refusal >= 1000) return "the server refused the TLS hand-shake: " + probe.refusalText;
  if (probe.timedOut)
    return "the server did not end the hand-shake within " +
           std::to_string(kProbeTime.count() / 1000) + " s";
  return "";
}
