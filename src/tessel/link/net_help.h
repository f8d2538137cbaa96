// The network callback of a link endpoint: network threads copy each delivery into a queue
// (small ones into pooled pages) and return at once; the endpoint's pump drains the queue on the
// worker thread. OnMessage: any thread; everything else: the worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "tessel/contracts/netlib.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_records.h"

class iBridge;
class cPagePool;

// Receives the link traffic a recorder keeps; installed process-wide, none by default.
class iNetRecorder {
 public:
  virtual bool IsRecording() = 0;
  // kind 1 notice, 2 peer record; the record's bytes, the link id and the link's name.
  virtual void Record(int kind, const void* data, unsigned long size, unsigned int linkId,
                      const char* linkName) = 0;

 protected:
  ~iNetRecorder() = default;
};
void SetNetRecorder(iNetRecorder* recorder);
iNetRecorder* GetNetRecorder();

// The host's check of its servers' links, run after every handled delivery.
void CheckServerLinks(const char* tag);

// The text of a disconnect reason; " unknow error" for a reason past the table.
const char* DisconnectReasonText(uint32_t reason);

// The queue is kept per link and served in turns, one item a turn, so that one link's backlog
// delays another's items by its turn only. Links that have not logged in (guests) share every
// kGuestShare-th turn while logged-in links wait, and each may queue far less.
class cNetHelp : public iCallbackNet {
 public:
  explicit cNetHelp(cPagePool* pool = nullptr);
  cNetHelp(const cNetHelp&) = delete;
  cNetHelp& operator=(const cNetHelp&) = delete;

  // Bytes one link may have waiting for the pump, and one guest; a record past it is refused
  // (unless the link has nothing waiting), and the network library cuts the link as a flood.
  static constexpr size_t kLinkQueueBytes = 8 << 20;
  static constexpr size_t kGuestQueueBytes = 256 << 10;
  // While logged-in links have items waiting, guests get one turn in this many.
  static constexpr unsigned kGuestShare = 4;
  // Bytes every guest together may have waiting: each connection is a new link, so a stranger
  // reconnecting would otherwise queue faster than the pump drains, without bound. Past it a
  // guest's record is refused unless its link has nothing waiting (a login still comes through).
  static constexpr size_t kGuestsQueueBytes = 32 << 20;
  // A queue that held this much gives the freed memory back to the system once it is empty.
  static constexpr size_t kGiveBackBytes = 4 << 20;

  // Copies and queues the delivery; 1, or 0 when no buffer could be had or the link's queued
  // bytes would pass their bound (the delivery is dropped and counted).
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override;
  // The same for a delivery a replay hands in: it is queued marked as replayed, and a notice or
  // state record is bounded as a peer record is (0 when refused: the replay hands it in again).
  int OnReplayedMessage(int kind, const void* data, unsigned long size, iSend* send);
  virtual ~cNetHelp();
  virtual void HandlePeerMessageSelf(stBindMsg* msg) = 0;
  virtual void HandleNetMessageSelf(stBindMsg* msg) = 0;

  // Handles as many items as were queued when the call began, and no more; at most `most` when
  // it is not 0, so that a flood cannot hold the worker from its periodic work.
  void HandleMsg(size_t most = 0);
  // Drops every queued item.
  void Clear();
  // While a link is held its records wait in its queue (its login is being answered); a notice
  // of the link releases it, so that its end is handled; a link whose notice is queued already
  // (it went down right after its login record) is not held. Worker thread.
  void Hold(iSend* link, bool hold);

  // A record that finds its link's queue full waits up to `ms` for the pump to make room before
  // it is refused; 0, the default, refuses at once. Only for an endpoint whose one peer may
  // rightly send more than the pump takes at once (an operator's answer): the waiting network
  // thread stops reading, which holds back the sender. 0 also ends the waits under way. Any
  // thread.
  void SetRoomWait(int ms);
  void SetBridge(iBridge* bridge) { m_pBridge = bridge; }
  iBridge* GetBridge() const { return m_pBridge; }
  int GetNetTotal() const { return m_nNetTotal.load(); }
  int GetPeerTotal() const { return m_nPeerTotal.load(); }
  int GetNetThisPump() const { return m_nNetPump.load(); }
  int GetPeerThisPump() const { return m_nPeerPump.load(); }
  // Deliveries refused and lost; a replayed one the replay hands in again is not among them.
  int GetDropped() const { return m_nDropped.load(); }
  size_t GetQueued() const;
  // Bytes the queued items hold (each counted at least one page).
  size_t GetQueuedBytes() const;

 protected:
  // The exception entry of a refused record on the endpoint's exception log (echoed in red).
  void WriteExceptionEntry(const stBindMsg* msg, int result);
  // Whether the link's peer has not logged in; asked on the worker after each of its items.
  virtual bool IsGuest(iSend*) { return false; }
  // What a link that has queued nothing yet counts as until the worker has asked.
  void SetNewLinksGuests(bool guests) { m_bNewGuest = guests; }

  iBridge* m_pBridge = nullptr;

 private:
  struct stItem {
    stBindMsg msg;
    bool pooled;  // the buffer is a page of the pool
  };
  struct stLinkQueue {
    std::deque<stItem> items;
    size_t bytes = 0;
    bool guest = false;
    bool held = false;
    bool inTurn = false;  // it stands in one of the turn lists
  };
  int Queue(int kind, const void* data, unsigned long size, iSend* send, bool replayed);
  // Whether a record of `cost` bytes for `send` fits its link's queue, after the room wait
  // (m_lock held by `lock`).
  bool Fits(std::unique_lock<std::mutex>& lock, iSend* send, size_t cost);
  void ReturnBuffer(const stItem& item);
  // Takes the item's bytes off the counts (m_lock held).
  void Uncount(stLinkQueue& queue, const stItem& item);
  // Sets whether the link is a guest, moving its queued bytes between the counts (m_lock held).
  void SetGuest(stLinkQueue& queue, bool guest);
  // Whether a record of `cost` bytes would take the link's queue, or every guest's, past its
  // bound while the link has items waiting (m_lock held).
  bool OverBound(iSend* link, size_t cost) const;
  // Puts a link with items in its turn list unless it stands there or is held (m_lock held).
  void Enqueue(iSend* link, stLinkQueue& queue);
  // The queue of the link whose turn it is, taken off its list; null when none has items
  // (m_lock held).
  stLinkQueue* NextLink();
  // Takes the next item in turn into `item`; false when nothing is queued.
  bool TakeNext(stItem& item);
  // After a link's item: its guest state, and its place in the turns or its end.
  void AfterItem(iSend* link, bool guest);
  // Hands freed memory back to the system once a large queue has drained.
  void GiveBackAfterBurst();

  cPagePool& m_pool;
  bool m_bNewGuest = false;
  mutable std::mutex m_lock;
  std::condition_variable m_room;                   // the pump took items (m_lock)
  int m_nRoomWaitMs = 0;                            // (m_lock)
  std::unordered_map<iSend*, stLinkQueue> m_links;  // (m_lock)
  std::deque<iSend*> m_members, m_guests;           // turn lists (m_lock)
  unsigned m_nTurn = 0;                             // (m_lock)
  size_t m_nItems = 0;                              // over every link (m_lock)
  size_t m_queuedBytes = 0;                         // over every link (m_lock)
  size_t m_guestBytes = 0;                          // over every guest (m_lock)
  size_t m_peakBytes = 0;  // most queued since the memory was last given back (m_lock)
  std::atomic<int> m_nNetTotal{0};
  std::atomic<int> m_nPeerTotal{0};
  std::atomic<int> m_nNetPump{0};
  std::atomic<int> m_nPeerPump{0};
  std::atomic<int> m_nDropped{0};
};

// Adds the traffic recording hook (and the crash report's record of the records received): both
// handlers of the derived callbacks call it first.
class cNetHelpTessel : public cNetHelp {
 public:
  using cNetHelp::cNetHelp;
  void HandlePeerMessageSelf(stBindMsg* msg) override;
  void HandleNetMessageSelf(stBindMsg* msg) override;
};
