// Finds out why a link to a server failed, so that the operator reads the cause rather than a
// symptom: after a failed connect or login the client asks the server once more, on a connection
// of its own with a bound of a few seconds in all, however slowly the server answers, whether it
// can be reached, whether it speaks TLS and what a TLS hand-shake with it says; a host name is
// looked up within that bound too. Main thread; only on the way to an error message.
#pragma once

#include <netdb.h>

#include <string>

struct stCliOptions;

// How the probes look a host name up (getaddrinfo's form); nullptr: getaddrinfo. A test puts a
// resolver of its own in its place. Main thread.
using tProbeResolver = int (*)(const char* host, const char* service, const addrinfo* hints,
                               addrinfo** found);
void SetProbeResolver(tProbeResolver resolve);

// A probe's connect error when the host name was to blame, not the network: the resolver
// found no address for it, or did not answer within the probe's bound.
constexpr int kNoAddress = -1;
constexpr int kLookupLate = -2;
// ... or no thread could be made for the lookup.
constexpr int kLookupNoThread = -3;

struct stProbe {
  int connectError = 0;        // errno of the TCP connect (or a lookup's code above); 0: up
  bool tls = false;            // the server answered the TLS hand-shake
  bool handshakeDone = false;  // ... and the hand-shake ended well on this side
  long verify = 0;             // the check of the server's certificate (X509_V_OK = 0)
  int refusal = 0;             // OpenSSL's reason of the hand-shake's or first read's failure
  std::string refusalText;     // ... as text ("tlsv13 alert certificate required")
  bool timedOut = false;       // the hand-shake or the read after it did not end in time
};

// A TLS hand-shake with the server: checked as the link checks it (the CA, the server's name,
// server use, the client certificate of the options) when `verify`, else anything goes.
stProbe ProbeTls(const stCliOptions& options, bool verify);
// Whether the server answers a plain framed record (a Tessel server without TLS does).
bool ProbePlain(const stCliOptions& options);
// errno of a TCP connect to the server (or kNoAddress, kLookupLate, kLookupNoThread); 0 when it
// connects.
int ProbeConnect(const stCliOptions& options);
// What a connect error of a probe says, as the end of "cannot reach HOST:PORT: ...".
std::string ConnectFailure(int error, const stCliOptions& options);

// Makes the TLS files of `options` absolute paths (the CA defaulting to `defaultCa`, if any)
// and checks that they can be used: "" when they can, else one line naming the file and why not.
std::string CheckTlsFiles(stCliOptions& options, const std::string& defaultCa);

// The one line that names why the TLS hand-shake with the server failed, from a probe with
// `verify`; empty when the probe saw nothing wrong with TLS.
std::string TlsFailure(const stProbe& probe, const stCliOptions& options);
