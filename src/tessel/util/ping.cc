#include "tessel/util/ping.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr size_t kBufferSize = 1024;
constexpr int kTimeoutMs = 1000;
constexpr unsigned long kTimedOutCost = 2000;

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
}

std::atomic<bool> g_datagramOnly{false};
std::atomic<PingResolver> g_resolver{nullptr};

// An ICMP socket: raw when allowed, else the unprivileged datagram ping socket. The kernel
// rewrites the identifier of requests sent through the datagram socket to the socket's own
// port, so `identifier` is what replies will carry, in the byte order of the wire.
struct EchoSocket {
  int fd = -1;
  bool raw = false;
  uint16_t identifier = 0;

  ~EchoSocket() {
    if (fd >= 0) close(fd);
  }

  bool Open() {
    identifier = static_cast<uint16_t>(getpid() & 0xFFFF);
    fd = g_datagramOnly.load() ? -1 : socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    raw = fd >= 0;
    if (raw) return true;
    fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (fd < 0) return false;
    // The port, and with it the identifier, is assigned when the socket is bound: bind now
    // rather than at the first send, so that it can be read before.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t len = sizeof(local);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
      return false;
    // Replies are decoded from their bytes as they stand: the port's bytes, unconverted.
    identifier = local.sin_port;
    return true;
  }

  bool SetTimeout(int option) const {
    timeval tv{kTimeoutMs / 1000, (kTimeoutMs % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
  }
};

// Lookups whose resolver has not answered yet, at most: each holds a thread.
constexpr int kMaxLookups = 4;
std::atomic<int> g_lookups{0};

// One lookup's answer, shared by its thread and the Ping that waits for it.
struct stLookup {
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool found = false;
  in_addr address{};
};

void LookUpOnThread(PingResolver resolve, const std::string& host,
                    const std::shared_ptr<stLookup>& lookup) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  const bool ok = resolve(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr &&
                  found->ai_addrlen >= sizeof(sockaddr_in);
  sockaddr_in at{};
  if (ok) memcpy(&at, found->ai_addr, sizeof at);
  if (found != nullptr) freeaddrinfo(found);
  std::lock_guard<std::mutex> hold(lookup->lock);
  lookup->done = true;
  lookup->found = ok;
  lookup->address = at.sin_addr;
  g_lookups.fetch_sub(1);
  lookup->ended.notify_all();
}

// Looks `host` up on a thread of its own, waiting at most kPingResolveMs: a resolver that never
// answered held the caller (a client's start choosing between two addresses) for as long.
// `why` says why there is no address when it is more than that the name has none.
bool LookUp(const char* host, in_addr& out, std::string& why) {
  if (g_lookups.fetch_add(1) >= kMaxLookups) {
    g_lookups.fetch_sub(1);
    why = ": " + std::to_string(kMaxLookups) + " lookups still wait for the resolver";
    return false;
  }
  auto lookup = std::make_shared<stLookup>();
  const PingResolver chosen = g_resolver.load();
  try {
    std::thread(&LookUpOnThread, chosen != nullptr ? chosen : &getaddrinfo, std::string(host),
                lookup)
        .detach();
  } catch (const std::system_error&) {
    g_lookups.fetch_sub(1);
    why = ": no thread for the lookup";
    return false;
  }
  std::unique_lock<std::mutex> hold(lookup->lock);
  if (!lookup->ended.wait_for(hold, std::chrono::milliseconds(kPingResolveMs),
                              [&] { return lookup->done; })) {
    why = ": its resolver did not answer within " + std::to_string(kPingResolveMs / 1000) + " s";
    return false;
  }
  out = lookup->address;
  return lookup->found;
}

bool Resolve(const char* host, sockaddr_in& out, std::string& why) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  if (host == nullptr || *host == '\0') return false;
  // A dotted address needs no resolver.
  return inet_pton(AF_INET, host, &out.sin_addr) == 1 || LookUp(host, out.sin_addr, why);
}

bool IsTimeout(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT;
}

// Waits up to the time-out for the reply to request `sequence`. On a raw socket the request
// itself and other processes' echoes arrive too; they are reported and skipped. Returns false
// on a network error other than a time-out.
bool AwaitReply(const EchoSocket& sock, uint16_t sequence, unsigned long& total, int& received) {
  uint8_t reply[kBufferSize];
  const uint32_t start = TickCount();
  for (;;) {
    uint32_t waited = TickCount() - start;
    if (waited >= static_cast<uint32_t>(kTimeoutMs)) break;
    pollfd pfd{sock.fd, POLLIN, 0};
    int ready = poll(&pfd, 1, kTimeoutMs - static_cast<int>(waited));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    memset(reply, 0, sizeof(reply));
    ssize_t n =
        recvfrom(sock.fd, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
      if (IsTimeout(errno) || errno == EINTR) continue;
      fprintf(stderr, "recvfrom failed: %d\n", errno);
      return false;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof(address));
    uint32_t rtt = 0;
    uint16_t seq = 0;
    if (DecodeEchoReply(reply, static_cast<size_t>(n), sock.raw, address, sock.identifier,
                        TickCount(), rtt, seq) &&
        seq == sequence) {
      total += rtt;
      ++received;
      return true;
    }
  }
  printf("Request timed out.\n");
  total += kTimedOutCost;
  return true;
}

void PrintStatistics(const char* address, int count, int received) {
  printf("\nPing statistics for %s \n", address);
  printf("    Packets: Sent = %d,Received = %d, Lost = %d (%2.0f%% loss)\n", count, received,
         count - received, (count - received) * 100.0 / count);
}

}  // namespace

void SetPingDatagramOnly(bool on) {
  g_datagramOnly = on;
}

void SetPingResolver(PingResolver resolve) {
  g_resolver = resolve;
}

uint16_t IcmpChecksum(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint16_t word;
    memcpy(&word, bytes + i, 2);
    sum += word;
  }
  if (size % 2 != 0) sum += bytes[size - 1];
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t* out, uint16_t identifier, uint16_t sequence, uint32_t stamp) {
  memset(out, 0, kEchoRequestSize);
  out[0] = 8;  // echo request
  memcpy(out + 4, &identifier, 2);
  memcpy(out + 6, &sequence, 2);
  memcpy(out + 8, &stamp, 4);
  memset(out + 12, 0x45, kEchoRequestSize - 12);
  uint16_t sum = IcmpChecksum(out, kEchoRequestSize);
  memcpy(out + 2, &sum, 2);
}

bool DecodeEchoReply(const uint8_t* reply, size_t n, bool hasIpHeader, const char* from,
                     uint16_t identifier, uint32_t now, uint32_t& rtt, uint16_t& sequence) {
  size_t h = hasIpHeader && n > 0 ? static_cast<size_t>(reply[0] & 15) * 4 : 0;
  if (n < h + 12) {
    // Too short to hold the fields read below: never read past what arrived.
    printf("Too few bytes from %s\n", from);
    return false;
  }
  const uint8_t* icmp = reply + h;
  uint16_t ownId;
  memcpy(&ownId, icmp + 4, 2);
  // A raw socket on loopback also sees our own request go out: skip it quietly.
  if (icmp[0] == 8 && ownId == identifier) return false;
  if (icmp[0] != 0) {
    fprintf(stderr, "non-echo type %d recvd\n", icmp[0]);
    return false;
  }
  uint16_t id, seq;
  uint32_t stamp;
  memcpy(&id, icmp + 4, 2);
  memcpy(&seq, icmp + 6, 2);
  memcpy(&stamp, icmp + 8, 4);
  if (id != identifier) {
    fprintf(stderr, "someone else''s packet!\n");
    return false;
  }
  rtt = now - stamp;
  sequence = seq;
  printf("%zu bytes from %s:", n, from);
  printf(" icmp_seq = %d. ", seq);
  printf(" time: %u ms \n", rtt);
  return true;
}

unsigned long Ping(const char* host, int count) {
  EchoSocket sock;
  if (!sock.Open()) {
    fprintf(stderr, "WSASocket() failed: %d\n", errno);
    return kPingFailed;
  }
  if (!sock.SetTimeout(SO_RCVTIMEO)) {
    fprintf(stderr, "failed to set recv timeout: %d\n", errno);
    return kPingFailed;
  }
  if (!sock.SetTimeout(SO_SNDTIMEO)) {
    fprintf(stderr, "failed to set send timeout: %d\n", errno);
    return kPingFailed;
  }
  sockaddr_in dest;
  std::string why;
  if (!Resolve(host, dest, why)) {
    fprintf(stderr, "Unable to resolve %s%s\n", host ? host : "", why.c_str());
    return kPingFailed;
  }
  if (count <= 0) return kPingFailed;
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &dest.sin_addr, address, sizeof(address));
  printf("\nPinging %s ....\n\n", address);

  uint8_t request[kBufferSize];
  unsigned long total = 0;
  int received = 0;
  for (int i = 0; i < count; ++i) {
    BuildEchoRequest(request, sock.identifier, static_cast<uint16_t>(i), TickCount());
    ssize_t sent = sendto(sock.fd, request, kEchoRequestSize, 0,
                          reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
    if (sent < 0) {
      if (IsTimeout(errno)) {
        printf("Request timed out.\n");
        continue;
      }
      fprintf(stderr, "sendto failed: %d\n", errno);
      return kPingFailed;
    }
    if (static_cast<size_t>(sent) < kEchoRequestSize) printf("Wrote %zd bytes\n", sent);
    if (!AwaitReply(sock, static_cast<uint16_t>(i), total, received)) return kPingFailed;
    std::this_thread::yield();
  }
  PrintStatistics(address, count, received);
  return total / static_cast<unsigned long>(count);
}
