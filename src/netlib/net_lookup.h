// Looks a connecting client's host name up on a thread of its own, so that a resolver that does
// not answer holds only that thread: the connect waiting for it gives up at its time-out, the
// other links' lookups go on beside it and the process's end does not wait for it. Any thread;
// the answer is posted to the strand of the connection that asked.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <netdb.h>

#include <functional>
#include <memory>
#include <string>

namespace netlib {

class cNetLookup {
 public:
  // How a host name is looked up (getaddrinfo's form); a test puts a resolver of its own here.
  using tResolver = int (*)(const char* host, const char* service, const addrinfo* hints,
                            addrinfo** found);
  // The lookup's end: 0 and the first IPv4 address found, or the errno saying why there is none.
  using tDone = std::function<void(int error, const boost::asio::ip::tcp::endpoint& at)>;
  using tStrand = boost::asio::strand<boost::asio::io_context::executor_type>;

  // How many lookups may run at a time; a connect beyond them fails at once with EAGAIN.
  static constexpr int kMaxRunning = 16;

  // nullptr: getaddrinfo.
  static void SetResolver(tResolver resolve);
  // Starts looking `host` up; `done` runs on `strand` while the returned ticket is kept (drop it
  // to forget the lookup). nullptr, with `done` not run, when kMaxRunning lookups are running.
  static std::shared_ptr<void> Start(const std::string& host, unsigned short port,
                                     const tStrand& strand, tDone done);
  // At the process's end, before the I/O contexts go: no answer is posted any more.
  static void Close();
};

}  // namespace netlib
