// The process's audit trail: one line per command text run, written by a thread of its own into
// a folder with one file per UTC day ("YYYY-MM-DD.audit"), each line chained to the one before
// it and signed with the process's audit key (audit_chain.h). Recording never waits on the
// disk: lines go through a bounded queue (audit_ring.h); a line that finds the queue full is
// counted, and a "dropped" line with the count follows. The writer adds an "open" line at each
// start, a "checkpoint" line every minute and a "close" line at an orderly end, after
// everything queued. Open/Close: the thread that starts and ends the host; Record: any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tessel/core/audit_chain.h"
#include "tessel/core/audit_line.h"
#include "tessel/core/audit_ring.h"

class cAuditTrail {
 public:
  struct stOptions {
    std::string folder;       // the trail's files
    std::string keyFile;      // made at the first start
    std::string process;      // the process's name, for the open line
    std::string crashReport;  // a report newer than the trail tells that the last run crashed
    size_t slots = 1024;
    uint32_t checkpointMs = 60000;
    // How long a writer of the folder still ending (a restart) is waited for.
    int lockWaitMs = 10000;
    std::function<int64_t()> clockUs;  // UTC microseconds; the system clock when empty
  };

  // The process's trail.
  static cAuditTrail& Instance();
  cAuditTrail() = default;
  ~cAuditTrail();
  cAuditTrail(const cAuditTrail&) = delete;
  cAuditTrail& operator=(const cAuditTrail&) = delete;

  // Continues the trail in the folder (or starts it) and starts the writer; false with a
  // message on standard output when the folder or the key cannot be used.
  bool Open(const stOptions& options);
  // Writes everything queued and the close line, then stops the writer. Nothing when not open.
  void Close();
  bool IsOpen() const { return m_bOpen.load(std::memory_order_acquire); }

  // Queues the line of a command; nothing when the trail is not open.
  void Record(const stAuditEvent& event);
  // Counts a line left out before it was queued (a rate bound on strangers' records): the
  // "dropped" line that follows counts it with the lines the full queue refused.
  void Skip();
  // UTC microseconds by the trail's clock.
  int64_t NowUs() const;
  // A count of the processor's time-stamp counter where there is one (a tenth of the cost of a
  // clock reading), else of the monotonic clock's microseconds. Any thread.
  static int64_t Ticks();
  static int64_t SteadyUs();

  // Events queued and not yet taken by the writer.
  size_t Queued() const { return IsOpen() ? m_ring->Queued() : 0; }
  // Lines left out (the queue full, or a rate bound), since the open.
  uint64_t Dropped() const { return m_droppedTotal.load(); }
  // The events still queued (a crash report shows them), packed (UnpackAuditEvent); see
  // cAuditRing::ReadQueued.
  size_t ReadQueued(void (*each)(const char* text, size_t size, void* arg), void* arg) const;

 private:
  void Writer();
  // An event timed in ticks, in microseconds, against the anchor of its batch (taken by the
  // batch's first such event).
  void TakeTickAnchor();
  void ToMicros(stAuditEvent& event, bool& anchored);
  // Numbers, chains and signs a line into the batch; FlushLines writes the batch to the file.
  void WriteLine(std::string_view body);
  void FlushLines();
  bool OpenDayFile(int64_t timeUs);
  int OpenFile(const std::string& day);
  bool ReopenIfRemoved();
  // Says on the console when writing the trail stops working, and when it works again.
  void TellWriting(const std::string& day, bool works, const std::string& why);
  std::string Resume();

  stOptions m_options;
  std::string m_base;  // the folder the trail was opened from: its folders are made only in it
  std::string m_key;
  std::unique_ptr<cAuditRing> m_ring;
  std::atomic<bool> m_bOpen{false};
  alignas(64) std::atomic<uint64_t> m_dropped{0};
  std::atomic<uint64_t> m_droppedTotal{0};

  // The writer looks at the queue every kPollMs, and is woken early when the queue fills up
  // while it sleeps, or for the end.
  std::mutex m_wakeLock;
  std::condition_variable m_wake;
  bool m_bStop = false;
  std::atomic<bool> m_bSleeping{false};
  // The writer's: ticks and monotonic microseconds at the open, for the ticks' rate.
  int64_t m_openTicks = 0;
  int64_t m_openSteadyUs = 0;
  int64_t m_anchorTicks = 0;
  int64_t m_anchorUs = 0;
  double m_ticksPerUs = 0;
  std::thread m_writer;

  // The writer thread's own (and Open's, before it starts).
  uint64_t m_peeked = 0;  // the queue's lines before this one are in the batch or the file
  uint64_t m_seq = 0;
  tAuditDigest m_chain = kAuditGenesis;
  int m_fd = -1;
  int m_lockFd = -1;  // the writer lock (audit_lock.h), held from Open to Close
  std::string m_day;
  std::string m_newestDay;  // the latest day that has a file: lines never go to an earlier one
  int64_t m_dayFromUs = 0;  // the first microsecond of m_day
  std::string m_batch;      // lines signed, not yet written
  bool m_bWriteFailing = false;
  std::string m_body;  // the line being made, and with its number
  std::string m_line;
};
