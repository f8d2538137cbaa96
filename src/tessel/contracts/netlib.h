// The network library as the system sees it: listening servers, their links, connecting
// clients, and the callback through which the library delivers records and link notices.
// Every operation may be called from any thread unless its comment says otherwise.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "tessel/contracts/net_records.h"

struct stMsg;  // a record: 4-byte header (u16 type, u16 id), then its body; sent as bytes
class iSend;

// Implemented by the system; the library calls it on its I/O threads, possibly several at once.
class iCallbackNet {
 public:
  // kind 1: a notice about the link (stNetNoticeServer / stNetNoticeClient);
  // kind 2: one record exactly as the peer gave it to Send. `data` is valid only during the call.
  // Returns 1 when taken. 0 for a record means the receiver cannot take more from this link
  // (its queue for the link is full): the library cuts the link with reason 5.
  virtual int OnMessage(int kind, const void* data, unsigned long size, iSend* send) = 0;

 protected:
  ~iCallbackNet() = default;
};

// One link. Every iClient and every iServerLink is one.
class iSend {
 public:
  // Takes `size` bytes as one record; `msg` may be reused at once. 0 when the link is down,
  // the record is larger than the link sends, or the send queue bound was passed (which also
  // cuts the link with reason 3); 1 otherwise, which says the record is queued, not that it
  // left. Any thread may call it; one thread's records leave in the order it sent them. The
  // call may write the socket from the calling thread (a large record, or a large batch of
  // queued ones, when no other thread is writing), never waits for the peer, and leaves what
  // the socket does not take to the link's I/O thread.
  virtual int Send(const stMsg* msg, unsigned long size) = 0;
  virtual unsigned short GetID() = 0;  // server links: 1..65535; a client: 0
  virtual int IsConnect() = 0;         // non-zero while the link is up
  // A holder (the endpoint, an application object) is done with the link. A server link stays
  // up while it is open, for those still talking over it; once it is down (or at once, when it
  // already is) its id is free for reuse and GetLink no longer returns it. Calling it more than
  // once does no harm. A client is its own holder: nothing happens (Release ends it).
  virtual void ReleaseLink() = 0;
  virtual const char* GetName() = 0;  // the server's or client's name
  virtual bool IsTraceSendCmd() = 0;
  virtual bool IsTraceRecieveCmd() = 0;
  virtual const char* GetIP() = 0;  // the peer's address, dotted IPv4
  // Writes a description of the link (id, peer, state, queue, counters), ending with a line end.
  virtual void Trace(std::ostream& os) = 0;
  // Bytes given to Send that the socket has not yet taken.
  virtual unsigned long GetUnsentBytes() = 0;

 protected:
  ~iSend() = default;
};

// A link accepted by a server.
class iServerLink : public iSend {
 public:
  // Counts an invalid record (type, size) from this peer; with `cut` true, or after too many,
  // cuts the link with reason 10. True when the link was cut.
  virtual bool OnInvalidMessage(int type, int size, bool cut) = 0;
  // Sends the disconnect-reason record (reason as given), then cuts the link.
  virtual void Disconnect(int reason) = 0;
  // The peer of the present connection logged in. Until then the link is a guest since it
  // connected: the server's login deadline applies to it, and it is the first to give way when
  // the server is full.
  virtual void SetLogined() = 0;
  // The peer of the present connection logged out: it is a guest again, and the login deadline
  // runs anew from now.
  virtual void SetLogout() = 0;
  // Whether the peer of the present connection is logged in (SetLogined, not since SetLogout).
  virtual bool IsLogined() = 0;

 protected:
  ~iServerLink() = default;
};

// A listening server. Created by Net_CreateServer, destroyed by Release.
class iServer {
 public:
  // Writes a description (name, address, port, links, counters), ending with a line end.
  virtual void Trace(std::ostream& os) = 0;
  // Destroys the object (stops it first if needed). No delivery starts after it returns; it
  // must not be called from inside OnMessage.
  virtual void Release() = 0;
  virtual const char* GetName() = 0;
  // param points to a stServerInfo. Listens; 0 on failure (printed once).
  virtual int Init(const void* param, iCallbackNet* callback) = 0;
  // Fills the record with the present set-up (the port word holds the listening port).
  virtual void GetInfo(stServerInfo& info) = 0;
  // Peer addresses allowed to connect (dotted IPv4); empty admits every address, a list whose
  // entries are no addresses admits none. Others are cut with reason 17 after their "created"
  // notice.
  virtual void SetIP(const std::vector<std::string>& ips) = 0;
  // Stops listening and cuts every link (reason 26); notices may still arrive until Release.
  virtual void Stop() = 0;
  // Queues the record on every link that is up; the number of links it was queued on.
  virtual int SendToAll(const stMsg* msg, unsigned long size) = 0;
  virtual bool IsTraceSendCmd() = 0;
  virtual void ForbitAccept() = 0;  // accepts no further links; open links stay
  virtual bool IsTraceRecieveCmd() = 0;
  // The link of that id while it is up or not yet released; null otherwise.
  virtual iServerLink* GetLink(unsigned int id) = 0;
  virtual bool IsForbitAccept() = 0;
  virtual unsigned long GetUnsentBytes() = 0;     // total over every link
  virtual const char* GetIP() = 0;                // the listening address
  virtual unsigned short GetPort() = 0;           // the listening port (chosen one if 0 was asked)
  virtual unsigned long long GetRecvBytes() = 0;  // record bytes received since Init
  virtual unsigned long long GetSendBytes() = 0;  // record bytes sent since Init
  virtual unsigned long long GetRecvRecords() = 0;  // records received since Init
  virtual unsigned long long GetSendRecords() = 0;  // records sent since Init
  virtual void TraceSendCmd(bool on) = 0;           // for every link, present and future
  virtual void TraceRecieveCmd(bool on) = 0;
  // Checks the links (frees released ones, logs inconsistencies naming `tag`). Cheap.
  virtual void CheckLinks(const char* tag) = 0;
  virtual int GetLinkNum() = 0;  // links open now
  // A link that has not logged in (SetLogined) this many milliseconds after it connected is cut
  // with reason 12, and while every link is taken a new connection takes the place of the
  // oldest link that has not logged in. 0 (the start value): no deadline, no link gives way.
  // A connection that finds every link taken and none to give way is refused with the
  // disconnect-reason record (reason 26).
  virtual void SetLoginDeadline(unsigned int ms) = 0;

 protected:
  ~iServer() = default;
};

// A connecting client; also the iSend of its link. Created by Net_CreateClient, destroyed by
// Release.
class iClient : public iSend {
 public:
  // Destroys the object (stops it first if needed). No delivery starts after it returns; it
  // must not be called from inside OnMessage.
  virtual void Release() = 0;
  // Starts connecting (any link up before is cut without a notice). The result arrives as a
  // notice: state 4 (error 0 = connected), or state 3 when the address cannot be used.
  // 1 when the attempt started, 0 before Init or after Stop.
  virtual int Connect(const char* ip, unsigned short port) = 0;
  // Cuts the link; a link that was up or connecting reports state 5 with error 0.
  virtual void Disconnect() = 0;
  // Cuts the link without a notice; Connect fails afterwards.
  virtual void Stop() = 0;
  // info: the client's record (the name, net parameters, local bind address are read).
  virtual int Init(const stClientInfo* info, iCallbackNet* callback) = 0;
  // Sends a ping frame; the server answers it. Nothing is delivered to the system.
  virtual void Ping() = 0;
  // Round-trip time of the last answered ping in microseconds (at least 1); 0 before any answer.
  virtual unsigned long GetPingTime() = 0;
  virtual void TraceSendCmd(bool on) = 0;
  virtual void TraceRecieveCmd(bool on) = 0;

 protected:
  ~iClient() = default;
};

// Counts of the whole library since the process started, for the process's metrics.
struct stNetCounters {
  // Links cut, by disconnect reason (NetReason_*): refused connections (17, 26) among them; the
  // last one counts the reasons past the table (a program's own).
  unsigned long long cuts[NetReason_Count + 1] = {};
  // TLS hand-shakes that did not end in an agreement (a peer's close or a time-out included).
  unsigned long long tlsHandshakeFailures = 0;
  // Record traffic of the connecting side (clients) and of the listening side (server links).
  unsigned long long clientRecvRecords = 0, clientRecvBytes = 0;
  unsigned long long clientSentRecords = 0, clientSentBytes = 0;
  unsigned long long serverRecvRecords = 0, serverRecvBytes = 0;
  unsigned long long serverSentRecords = 0, serverSentBytes = 0;
};
// A snapshot of the counts; any thread, never waits for a lock.
void Net_GetCounters(stNetCounters& out);

// Starts the library (its I/O threads); 1 on success. Safe to call more than once.
int InitSocket();
// The executable's name, used in the library's log lines.
void Net_SetExeName(std::string& name);
iServer* Net_CreateServer();
// type 0: a plain TCP client; any other type gives null.
iClient* Net_CreateClient(int type);
// The PEM files of TLS clients initialised after the call, in place of config/tls: trust the
// certificates of `caFile`; present `certFile` with `keyFile` when a server asks (null or empty:
// none). A null or empty `caFile` goes back to config/tls.
void Net_SetClientTls(const char* caFile, const char* certFile, const char* keyFile);
// The name the server's certificate must carry for TLS clients that connect after the call, in
// place of the link's name or the address connected to: a DNS name, or an IP address written as
// one. For a program with one link to a server it was told the name of (a console client); null
// or empty goes back to the link's name and address.
void Net_SetClientTlsServerName(const char* name);
// The SHA-256 fingerprint of the certificate the peer of a TLS link presented (64 hexadecimal
// digits); empty for a plain link, a peer without a certificate, or another library's link.
// Any thread.
std::string Net_GetPeerCertSha256(iSend* link);
// Whether the certificate the peer of a TLS link presented carries `name` as one of its DNS
// names or as its common name (exactly, no wildcard); false for a link without one. Any thread.
bool Net_PeerCertNames(iSend* link, const char* name);
