#include "netlib/net_lookup.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace netlib {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

struct stLookups {
  std::mutex lock;
  cNetLookup::tResolver resolve = &::getaddrinfo;
  int running = 0;
  bool closed = false;
};

// Never destroyed: a lookup thread still waiting on its resolver may end while the process does.
stLookups& Lookups() {
  static auto* lookups = new stLookups;
  return *lookups;
}

// What the connection keeps while its lookup runs; the thread holds it only weakly.
struct stTicket {
  cNetLookup::tStrand strand;
  cNetLookup::tDone done;
};

// Runs `resolve` for `host` (the lookup's thread) and posts the answer to a ticket still kept.
void Resolve(cNetLookup::tResolver resolve, const std::string& host, unsigned short port,
             const std::weak_ptr<stTicket>& ticket) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = resolve(host.c_str(), nullptr, &hints, &found);
  tcp::endpoint at;
  int error = EHOSTUNREACH;
  if (result == 0 && found != nullptr && found->ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    at = tcp::endpoint(asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), port);
    error = 0;
  }
  if (found != nullptr) ::freeaddrinfo(found);
  stLookups& lookups = Lookups();
  std::lock_guard<std::mutex> hold(lookups.lock);
  --lookups.running;
  if (lookups.closed) return;
  if (auto kept = ticket.lock())
    asio::post(kept->strand, [kept, error, at] { kept->done(error, at); });
}

}  // namespace

void cNetLookup::SetResolver(tResolver resolve) {
  std::lock_guard<std::mutex> hold(Lookups().lock);
  Lookups().resolve = resolve != nullptr ? resolve : &::getaddrinfo;
}

std::shared_ptr<void> cNetLookup::Start(const std::string& host, unsigned short port,
                                        const tStrand& strand, tDone done) {
  stLookups& lookups = Lookups();
  auto ticket = std::make_shared<stTicket>(stTicket{strand, std::move(done)});
  std::lock_guard<std::mutex> hold(lookups.lock);
  if (lookups.closed || lookups.running >= kMaxRunning) return nullptr;
  try {
    std::thread([resolve = lookups.resolve, host, port, weak = std::weak_ptr<stTicket>(ticket)] {
      Resolve(resolve, host, port, weak);
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  ++lookups.running;
  return ticket;
}

void cNetLookup::Close() {
  std::lock_guard<std::mutex> hold(Lookups().lock);
  Lookups().closed = true;
}

}  // namespace netlib
