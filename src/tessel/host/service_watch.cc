#include "tessel/host/service_watch.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/clock.h"
#include "platform/text_clean.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/link_census.h"
#include "tessel/host/metrics.h"
#include "tessel/host/tessel.h"
#include "tessel/host/worker_stats.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"

namespace {

// How often the worker publishes its count of links and queues.
constexpr uint64_t kPublishMs = 1000;
// How long READY waits for the connecting sides: one whose server takes the connection and
// never answers the login (its worker hangs) would keep the service from ever being ready, and
// the manager would end it at its start time-out (90 s by default) and start it again, for as
// long as that server hangs.
constexpr uint64_t kMostSettleMs = 30000;

// The launch words read here.
const cLaunchWords kServiceWords{
    {"metrics", "ADDRESS",
     "serve /metrics for Prometheus on A.B.C.D:PORT or [IPv6]:PORT (else config string metrics)"},
    {"console", "0|1", "1: a console; 0: none (the default when systemd starts the program)",
     IsLaunchFlag, kLaunchFlagForm}};

// The metrics address: the launch parameter, else the configuration string; empty when off.
std::string MetricsAddress() {
  std::string address = GetExeParam("metrics", "");
  if (address.empty()) address = GetConfigString("metrics", "");
  return address;
}

// A name as the status line carries it: one word of a safe alphabet. Printable characters
// beyond ASCII (a Chinese account name) stay as they are: shown as '?', names of the same length
// were one name, and the cluster view walked to a process of that name, which none answers to.
std::string Word(const std::string& name) {
  std::string word;
  for (size_t at = 0; at < name.size();) {
    const auto c = static_cast<unsigned char>(name[at]);
    const size_t length = c >= 0x80 ? PrintableCharAt(name, at) : 0;
    const bool plain = std::isalnum(c) || (c != '\0' && std::strchr("_.@-", c) != nullptr);
    word.append(length > 0 ? name.substr(at, length) : plain ? name.substr(at, 1) : "?");
    at += std::max<size_t>(length, 1);
  }
  return word.empty() ? "?" : word;
}

// The connecting sides that have neither logged in nor finished their first attempt (refused,
// failed or cut), "global,map"; empty when there is none. One that never tried does not hold
// the start back.
std::string Unsettled(cTessel& host) {
  std::string names;
  for (cEasyClient* client : host.Clients()) {
    const cBridgeClient& link = *client->GetBridgeClient();
    if (link.IsLogin() || link.GetConnectCount() == 0) continue;
    if (link.GetDisconnectTime() == 0 && link.GetLoginFailTime() == 0)
      names += (names.empty() ? "" : ",") + Word(client->GetName());
  }
  return names;
}

// "STATUS=links 2/3 up, lateness 0.4 ms".
std::string NotifyStatus(const stLinkCensus& census) {
  char line[128];
  std::snprintf(line, sizeof line, "STATUS=links %u/%u up, lateness %.1f ms", census.LinksUp(),
                census.LinksTotal(), cServiceWatch::Worker().LastLatenessUs() / 1000.0);
  return line;
}

// The socket the notes go out on, made once (at the start) and kept: made for each note, every
// note was lost while no descriptor was free, the WATCHDOG pings too, and the manager ended a
// service whose worker ran well. -1 until it could be made.
std::atomic<int> g_notifyFd{-1};
// A note was not sent (other than to a full queue): said once, and again when one is.
std::atomic<bool> g_notifyFailing{false};

int NotifySocket() {
  int fd = g_notifyFd.load();
  if (fd >= 0) return fd;
  fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int none = -1;
  if (fd >= 0 && !g_notifyFd.compare_exchange_strong(none, fd)) {
    ::close(fd);
    return none;
  }
  return fd;
}

void NoteSent(const std::string& note, bool sent) {
  if (sent && g_notifyFailing.exchange(false))
    std::cout << "cServiceWatch notifies the service manager again" << std::endl;
  if (!sent && errno != EAGAIN && !g_notifyFailing.exchange(true))
    std::cout << "cServiceWatch can not notify the service manager ("
              << note.substr(0, note.find('\n')) << "): " << std::strerror(errno) << std::endl;
}

// Sends one note to the service manager's socket (NOTIFY_SOCKET: a path, or "@name" in the
// abstract space) without waiting: a manager that does not take it (its queue full) loses the
// note instead of holding up the worker's cycle. False when it was not sent.
bool Notify(const std::string& note) {
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  const size_t n = socketName != nullptr ? std::strlen(socketName) : 0;
  if (n < 2 || n >= sizeof at.sun_path || (socketName[0] != '/' && socketName[0] != '@'))
    return false;
  std::memcpy(at.sun_path, socketName, n);
  if (at.sun_path[0] == '@') at.sun_path[0] = '\0';
  const int fd = NotifySocket();
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  const bool sent = fd >= 0 && ::sendto(fd, note.data(), note.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                        reinterpret_cast<const sockaddr*>(&at),
                                        size) == static_cast<ssize_t>(note.size());
  NoteSent(note, sent);
  return sent;
}

// READY=1 once every connecting side has settled, or kMostSettleMs after the start without those
// still in their first attempt (a line names them); false when it is not time yet or the note
// was not taken.
bool SaidReady(cTessel& host, uint64_t sinceStartMs) {
  const std::string waiting = Unsettled(host);
  if (!waiting.empty() && sinceStartMs < kMostSettleMs) return false;
  if (!Notify("READY=1")) return false;
  if (!waiting.empty())
    std::cout << "cServiceWatch::OnCycle ready after " << kMostSettleMs / 1000
              << " s without the client links still in their first attempt: " << waiting
              << std::endl;
  return true;
}

// When the library was loaded: as the program started, before main, so that the uptime told
// is the process's even before Start (Status() from the start-up script).
const uint64_t g_loadedMs = platform::SteadyMs();

// "global:up:350,other:down:0", or "-".
std::string UpLinks(cTessel& host) {
  std::string list;
  for (cEasyClient* client : host.Clients()) {
    iClient* net = client->GetNetClient();
    const bool up = client->GetBridgeClient()->IsLogin();
    list += (list.empty() ? "" : ",") + Word(client->GetName()) + (up ? ":up:" : ":down:") +
            std::to_string(up && net != nullptr ? net->GetPingTime() : 0);
  }
  return list.empty() ? "-" : list;
}

// The accounts logged in on every server side, or "-".
std::string DownLinks(cTessel& host) {
  std::string list;
  for (cEasyServer* server : host.Servers())
    if (iAccountManagerServer* accounts = server->GetAMServer())
      for (const std::string& name : accounts->AccountNames())
        list += (list.empty() ? "" : ",") + Word(name);
  return list.empty() ? "-" : list;
}

}  // namespace

std::string cServiceWatch::StatusLine(cTessel& host) const {
  const stLinkCensus census = TakeLinkCensus(host);
  const cTesselValues& values = cTesselValues::Instance();
  const uint64_t nowMs = platform::SteadyMs();
  return "status name=" + Word(host.GetAccount()) + " program=" + Word(values.GetProgram()) +
         " version=" + Word(values.GetVersion()) +
         " uptime_s=" + std::to_string((nowMs - g_loadedMs) / 1000) +
         " links_up=" + std::to_string(census.LinksUp()) +
         " links_total=" + std::to_string(census.LinksTotal()) +
         " lateness_p99_us=" + std::to_string(Worker().LatenessP99Us(nowMs)) +
         " queue=" + std::to_string(census.QueueRecords()) + " up=" + UpLinks(host) +
         " down=" + DownLinks(host);
}

bool cServiceWatch::HasConsole() {
  const std::string word = GetExeParam("console", "");
  if (!word.empty()) return word != "0";
  return !UnderServiceManager();
}

bool cServiceWatch::UnderServiceManager() {
  return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
}

cWorkerStats& cServiceWatch::Worker() {
  static cWorkerStats* const stats = new cWorkerStats;  // read by scrapes until the end
  return *stats;
}

void cServiceWatch::Start(cTessel& host) {
  m_startMs = platform::SteadyMs();
  if (const char* socket = std::getenv("NOTIFY_SOCKET"); socket != nullptr && *socket != '\0') {
    m_bNotify = true;
    NotifySocket();
    uint64_t usec = 0;
    // Pings at half the interval systemd waits for, so that one late ping is not yet a failure.
    if (sd_watchdog_enabled(0, &usec) > 0) m_pingMs = usec / 2000 > 0 ? usec / 2000 : 1;
  }
  const std::string address = MetricsAddress();
  if (address.empty()) return;
  cTesselValues& values = cTesselValues::Instance();
  cMetrics& metrics = cMetrics::Instance();
  if (!metrics.Start(address, values.GetProgram(), values.GetVersion(), Worker())) return;
  metrics.PublishLinks(TakeLinkCensus(host));
  values.SetInfoValue("metrics_port", metrics.Port());
  // The address as served: with port 0, the port picked, which a scraper is pointed at.
  const std::string served =
      address.substr(0, address.rfind(':') + 1) + std::to_string(metrics.Port());
  std::cout << "metrics on http://" << served << "/metrics (port " << metrics.Port() << ")"
            << std::endl;
}

void cServiceWatch::OnCycle(cTessel& host, uint64_t latenessNs, uint64_t costNs) {
  const uint64_t nowMs = platform::SteadyMs();
  Worker().NoteCycle(nowMs, latenessNs / 1000, costNs / 1000);
  cMetrics& metrics = cMetrics::Instance();
  if (metrics.IsOn()) metrics.NoteCycle(latenessNs);
  if (!m_bNotify && !metrics.IsOn()) return;
  // Sent by the cycle itself: a worker that is stuck stops the pings.
  if (m_pingMs != 0 && nowMs >= m_nextPingMs) {
    Notify("WATCHDOG=1");
    m_nextPingMs = nowMs + m_pingMs;
  }
  // A READY the manager did not take is sent again at the next cycle.
  if (m_bNotify && !m_bReady && SaidReady(host, nowMs - m_startMs)) {
    m_bReady = true;
    m_nextPublishMs = 0;
  }
  if (nowMs < m_nextPublishMs) return;
  m_nextPublishMs = nowMs + kPublishMs;
  Publish(host);
}

void cServiceWatch::Publish(cTessel& host) {
  const stLinkCensus census = TakeLinkCensus(host);
  if (cMetrics::Instance().IsOn()) cMetrics::Instance().PublishLinks(census);
  if (m_bNotify) Notify(NotifyStatus(census));
}

void cServiceWatch::Stopping() {
  if (m_bNotify) Notify("STOPPING=1\nSTATUS=stopping");
}

void cServiceWatch::Stop() {
  cMetrics::Instance().Stop();
}
