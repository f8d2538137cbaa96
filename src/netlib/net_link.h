// The machinery of one link, shared by server links and clients: its current connection (a
// socket on its own strand), the send queue with one writer at a time, the read loop that cuts
// the stream into records, the receive limits, and the cut with its reason.
//
// Threads. Send and the queries: any thread. Reading, cuts, deliveries and every timer run on
// the connection's strand. One thread at a time writes the socket, the writer, named under the
// link's lock (cNetConn::writer):
//  - a sending thread that finds no writer writes from its own thread: a large record straight
//    from its bytes when nothing is queued (on a TLS link, sealed straight from them), or the
//    queued batch once it holds kDirectWriteBytes (kTakeOverBytes while a write turn is queued
//    or large records stream); it writes a few batches in a row at most;
//  - otherwise a sending thread queues a write turn and the strand writes, so that small
//    records, and large ones that follow each other closely, leave together;
//  - what the socket did not take from a sending thread goes to the strand, which waits until
//    the socket takes more.
// The writer takes its batch under the link's lock, seals it (TLS) and writes it without that
// lock, and hands the writing on under it. A sending thread holds the connection's write mutex
// across its system call, so that the strand never closes the socket under it.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "netlib/net_frame.h"
#include "netlib/net_limits.h"
#include "netlib/net_send_queue.h"
#include "netlib/net_spin_lock.h"
#include "netlib/net_tls.h"
#include "tessel/contracts/netlib.h"

namespace netlib {

// Where links deliver: the callback of their server or client, cleared by Release. Deliveries
// hold it shared; Release takes it exclusively, so no delivery starts after Release.
struct cNetGate {
  std::shared_mutex lock;
  iCallbackNet* callback = nullptr;
};

// The limits of a link, from its stNetParam with defaults for zero words.
struct stLinkLimits {
  uint32_t maxRecv = 0;
  uint32_t maxSend = 0;
  uint64_t queueBound = 0;
  uint32_t floodRecords = 0;
  uint64_t floodBytes = 0;
  uint32_t idleMs = 0;
  uint32_t firstMsgMs = 0;
  uint32_t encode = 0;    // non-zero: TLS; 2 on a server: clients must present a certificate
  uint32_t compress = 0;  // non-zero: records above a small size are sent packed
  static stLinkLimits From(const stNetParam& p);
};

enum class eConnState : uint8_t { Connecting, Up, Cutting, Down };

// Who writes a connection's socket now.
enum class eWriter : uint8_t { None, Sender, Strand };

// Why a connection went down, for the notices of each side.
enum class eDownCause : uint8_t { Local, PeerClosed, ReadError, WriteError, Limit };

using tStrand = boost::asio::strand<boost::asio::io_context::executor_type>;

// One connection life of a link. Fields marked "link lock" are guarded by the owning link's
// lock; "writer" fields belong to the connection's present writer, handed over under that lock;
// fields marked "strand" are touched only on `strand`.
struct cNetConn {
  explicit cNetConn(boost::asio::io_context& io);

  tStrand strand;
  std::shared_ptr<void> lookup;  // strand: the host name's lookup while it runs
  boost::asio::ip::tcp::socket socket;
  std::atomic<eConnState> state{eConnState::Connecting};  // written under the link lock
  eWriter writer = eWriter::None;                         // link lock
  bool turnPosted = false;      // link lock: a write turn is queued on the strand
  bool flushThenClose = false;  // link lock: the socket closes once the queue is written
  bool silent = false;          // link lock: going down delivers no notice
  bool queueWarned = false;     // link lock
  size_t batchBytes = 0;        // link lock: plain bytes of the writer's batch, not yet written
  cSendQueue queue;             // link lock
  stWriteBatch batch;           // writer
  // The descriptor while the socket is open. Set before the connection is shared; cleared by
  // the strand under the write mutex, which a sending thread holds while it writes.
  std::mutex writeLock;
  int fd = -1;
  // TLS of the connection; set before the connection is up, then used under its own lock.
  std::unique_ptr<cTlsSession> tls;
  std::atomic<uint64_t> lastLargeUs{0};  // when a sender last gave a large record
  std::atomic<uint32_t> lastRecvMs{0};
  std::atomic<bool> gotFrame{false};
  uint32_t connectedMs = 0;  // set before the connection is shared
  // A server link's peer is a guest, not logged in since connectedMs, until this is set: the
  // login deadline runs from then, and a guest is the first to give way when the server is full.
  std::atomic<bool> logined{false};
  // When the peer last logged out, and so became a guest again; 0 while it never did.
  std::atomic<uint32_t> loggedOutMs{0};
  // The connection counts among its server's open links (taken by the one that clears it).
  std::atomic<bool> countedOpen{false};
  uint32_t refuseReason = 0;  // set before the connection is shared: cut at once with it
  // strand
  cByteBuffer partial;       // a frame split across reads
  uint32_t partialNeed = 0;  // its whole size, header included, once the header is known
  uint32_t windowStartMs = 0;
  uint32_t windowRecords = 0;
  uint64_t windowBytes = 0;
  bool socketClosed = false;
  std::unique_ptr<boost::asio::steady_timer> timer;      // connect or hand-shake time-out, linger
  std::unique_ptr<boost::asio::steady_timer> idleTimer;  // a client's idle check
  std::unique_ptr<boost::asio::steady_timer> holdTimer;  // a held write turn
};
using tConnPtr = std::shared_ptr<cNetConn>;

// Each I/O thread reads into one buffer of its own, of kReadBufferBytes; a link keeps bytes only
// for a split frame.
char* ThreadReadBuffer();

class cNetLink : public std::enable_shared_from_this<cNetLink> {
 public:
  virtual ~cNetLink() = default;

  int SendRecord(const void* data, unsigned long size);
  int IsUp();
  unsigned long Unsent();
  // The peer's address, copied under the lock into one of a few buffers of the calling thread
  // (the link's own is written by its next connection); it holds until that thread's fourth
  // call after this one.
  const char* PeerIp();
  // The fingerprint of the certificate the peer of the present connection presented.
  std::string PeerCertSha256() const;
  // The names of that certificate (its DNS names and common name).
  std::vector<std::string> PeerCertNames() const;
  void TraceTo(std::ostream& os, const char* title, unsigned id);
  bool TraceSend() const { return m_traceSend.load(std::memory_order_relaxed); }
  bool TraceRecv() const { return m_traceRecv.load(std::memory_order_relaxed); }
  void SetTraceSend(bool on) { m_traceSend.store(on, std::memory_order_relaxed); }
  void SetTraceRecv(bool on) { m_traceRecv.store(on, std::memory_order_relaxed); }
  // Cuts the present connection, if it is up or connecting.
  void CutCurrent(uint32_t reason, bool tellPeer, eDownCause cause, int error);

 protected:
  explicit cNetLink(std::shared_ptr<cNetGate> gate) : m_gate(std::move(gate)) {}

  // Begins a connected life on the strand: OnOpen, the TLS hand-shake when the connection has
  // a session (it is up only once that is done), OnUp, then the read loop.
  void BeginConn(const tConnPtr& c);
  // Marks the connection cut and finishes the cut on its strand. tellPeer: the
  // disconnect-reason record is written before the socket closes.
  void Cut(const tConnPtr& c, uint32_t reason, bool tellPeer, eDownCause cause, int error);
  // Queues an internal frame; false when the connection is not up.
  bool SendInternal(const tConnPtr& c, const char* body, uint32_t size);
  // The connection's present idle reason (11, 12) at `now`, or 0.
  uint32_t IdleReason(const cNetConn& c, uint32_t now) const;
  // The peer's address (with its port), copied under m_lock: a link object lives many
  // connections, and the next one writes its address while lines of the last are written.
  std::string PeerText(bool withPort);
  // Delivers one kind-1 notice (strand).
  void DeliverNotice(const void* data, unsigned long size);
  // Closes the socket at once (strand).
  void CloseSocket(const tConnPtr& c);

  virtual iSend* Face() = 0;
  virtual bool TellsPeer() const = 0;  // whether own cuts send the disconnect-reason record
  // The connection is open, before any hand-shake; false when it was refused (strand).
  virtual bool OnOpen(const tConnPtr& c) = 0;
  virtual void OnUp(const tConnPtr& c) = 0;  // the connection is up (strand)
  virtual void OnDown(const tConnPtr& c, uint32_t reason, eDownCause cause, int error) = 0;
  // Internal frames; the default answers a ping (strand).
  virtual void OnInternal(const tConnPtr& c, const char* body, uint32_t size);
  // Whether the connection's peer is held to the tighter flood limits of a guest (strand).
  virtual bool IsGuest(const cNetConn&) const { return false; }
  // How long a TLS hand-shake may take before the connection is cut.
  virtual uint32_t HandshakeLimitMs() const { return kTlsHandshakeMs; }
  virtual void CountRecv(uint64_t records, uint64_t bytes) = 0;
  virtual void CountSent(uint64_t records, uint64_t bytes) = 0;

  cSpinLock m_lock;
  tConnPtr m_conn;          // m_lock
  bool m_released = false;  // m_lock: the holder let go of the link
  std::shared_ptr<cNetGate> m_gate;
  stLinkLimits m_limits;  // set before the link is shared
  mutable std::mutex m_certLock;
  std::string m_peerCert;                // m_certLock: set when a TLS hand-shake is done
  std::vector<std::string> m_peerNames;  // m_certLock: with m_peerCert
  char m_ip[64] = {};                    // peer address; written under m_lock before a life starts
  unsigned short m_port = 0;
  std::atomic<bool> m_traceSend{false};
  std::atomic<bool> m_traceRecv{false};
  std::atomic<uint64_t> m_recvRecords{0}, m_recvBytes{0}, m_sentRecords{0}, m_sentBytes{0};

 private:
  // How a write from a sending thread or the strand went.
  enum class eWrite : uint8_t { Done, Blocked, Failed };

  // ---- reading (net_link_read.cc; strand) ----
  void WaitReadable(const tConnPtr& c);
  void ReadTurn(const tConnPtr& c);
  void ReadFailed(const tConnPtr& c, const boost::system::error_code& ec);
  // Cuts a chunk read from the socket into frames and hands them on.
  void TakeChunk(const tConnPtr& c, char* p, size_t n);
  bool TakeSplitFrame(const tConnPtr& c, char*& p, size_t& n);
  // Hands over complete frames; false when the connection was cut meanwhile.
  bool HandFrames(const tConnPtr& c, char* p, size_t n, size_t& used);
  bool Admit(const tConnPtr& c, uint32_t now, uint32_t size, bool guest);
  void Refuse(const tConnPtr& c, const stCutFrame& f, const char* p, size_t n);
  // The TLS side of a connection (net_link_tls.cc): the hand-shake, then reading records' text
  // out of what the socket gives.
  void StartHandshake(const tConnPtr& c);
  void HandshakeStep(const tConnPtr& c, const char* in, size_t n);
  void HandshakeRead(const tConnPtr& c);
  void HandshakeDone(const tConnPtr& c);
  void TlsRead(const tConnPtr& c, const char* in, size_t n);

  // ---- writing (net_link_send.cc) ----
  // One record given to Send, packed when that made it smaller.
  struct stOutgoing {
    const void* data;
    uint32_t size;
    const char* packed = nullptr;
    uint32_t packedSize = 0;
  };
  // What a sending thread does once its record is placed.
  enum class eSendStep : uint8_t { Nothing, InPlace, Write, Post, Cut };
  // Places one record: queued, or to be written from the caller's bytes, or over the queue's
  // bound; `warnAt` set when the queue first passes half its bound (link lock held).
  eSendStep Place(cNetConn& c, const stOutgoing& r, size_t& warnAt);
  // The writer takes the queued frames as its batch (link lock held).
  void TakeBatch(cNetConn& c);
  // The writer seals its batch on a TLS connection (no lock); false when the session failed,
  // the link is then cut.
  bool SealBatch(const tConnPtr& c);
  bool SealFailed(const tConnPtr& c);
  // The writer writes what is left of its batch without waiting (no lock); `error` is errno.
  eWrite WriteBatch(cNetConn& c, bool sender, int& error);
  void CountBatch(const stWriteBatch& b);
  // A sending thread, as the writer, writes one large record straight from its bytes, then
  // whatever was queued meanwhile.
  void WriteInPlace(const tConnPtr& c, const void* data, uint32_t size);
  // A sending thread, as the writer, writes its batch and those after it while they are large;
  // the strand takes over what the socket does not take.
  void WriteAsSender(const tConnPtr& c);
  // The strand's write turn: takes the writing unless a writer is at work, or holds it while
  // a sender streams large records.
  void StartWrite(const tConnPtr& c);
  static uint64_t SteadyUs();
  uint64_t HoldFor(const cNetConn& c);
  // The strand as the writer, until the queue runs empty or the socket is full.
  void WriteOnStrand(const tConnPtr& c);
  // The writer leaves on a closed or failed connection: its batch and the queue are dropped.
  void DropWriter(const tConnPtr& c);
  void LogQueue(size_t unsent);

  // ---- cutting (net_link.cc) ----
  void FinishCut(const tConnPtr& c, uint32_t reason, eDownCause cause, int error, bool write);
};

}  // namespace netlib
