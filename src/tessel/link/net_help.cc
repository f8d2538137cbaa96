#include "tessel/link/net_help.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/console_color.h"
#include "platform/stdout_line.h"
#include "platform/text_clean.h"
#include "tessel/core/flight_recorder.h"
#include "tessel/core/host.h"
#include "tessel/core/log_file.h"
#include "tessel/core/login_text.h"
#include "tessel/core/run_counters.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/page_pool.h"
#include "tessel/msg/bridge_interfaces.h"

namespace {

std::atomic<iNetRecorder*> g_recorder{nullptr};

}  // namespace

void SetNetRecorder(iNetRecorder* recorder) {
  g_recorder.store(recorder);
}
iNetRecorder* GetNetRecorder() {
  return g_recorder.load();
}

void CheckServerLinks(const char* tag) {
  GetHost().CheckServerLinks(tag);
}

const char* DisconnectReasonText(uint32_t reason) {
  return reason < NetReason_Count ? kNetDisconnectText[reason] : " unknow error";
}

cNetHelp::cNetHelp(cPagePool* pool) : m_pool(pool != nullptr ? *pool : cPagePool::Instance()) {}

cNetHelp::~cNetHelp() {
  Clear();
}

// Small deliveries go into a page; when the pool cannot grow, into an array of their own, so a
// delivery is never copied into a missing buffer. A record that would take its link's queued
// bytes past the bound is refused before anything is allocated; notices of the network library
// are always taken. A replay hands in notices and state records as fast as it reads its file: they
// keep to the same bound (the replay waits and hands them in again), or a file of a million
// notices played while the worker ran a long command queued a GiB.
int cNetHelp::OnMessage(int kind, const void* data, unsigned long size, iSend* send) {
  return Queue(kind, data, size, send, false);
}

int cNetHelp::OnReplayedMessage(int kind, const void* data, unsigned long size, iSend* send) {
  return Queue(kind, data, size, send, true);
}

int cNetHelp::Queue(int kind, const void* data, unsigned long size, iSend* send, bool replayed) {
  const size_t cost = std::max<size_t>(size, m_pool.GetPageSize());
  if (kind == stBindMsg::kPeerRecord || replayed) {
    std::unique_lock lock(m_lock);
    if (!Fits(lock, send, cost)) {
      // A replayed record refused here comes again at the replay's next step: not dropped.
      if (!replayed) m_nDropped.fetch_add(1);
      return 0;
    }
  }
  char* buffer = nullptr;
  bool pooled = false;
  if (size <= m_pool.GetPageSize()) {
    buffer = m_pool.Alloc();
    pooled = buffer != nullptr;
  }
  if (buffer == nullptr) buffer = new (std::nothrow) char[size > 0 ? size : 1];
  if (buffer == nullptr) {
    m_nDropped.fetch_add(1);
    platform::PrintLine("cNetHelp::OnMessage no buffer, dropped kind " + std::to_string(kind) +
                        " size " + std::to_string(size));
    return 0;
  }
  if (size > 0) std::memcpy(buffer, data, size);
  stItem item{
      {static_cast<std::uint32_t>(size), send, reinterpret_cast<stMsg*>(buffer), kind, replayed},
      pooled};
  bool first;
  {
    std::lock_guard lock(m_lock);
    first = m_nItems == 0;
    auto [it, made] = m_links.try_emplace(send);
    stLinkQueue& queue = it->second;
    if (made) SetGuest(queue, m_bNewGuest);
    // A held link's end must be handled: its notices release it.
    if (kind == stBindMsg::kNetNotice) queue.held = false;
    queue.items.push_back(item);
    queue.bytes += cost;
    if (queue.guest) m_guestBytes += cost;
    ++m_nItems;
    m_queuedBytes += cost;
    m_peakBytes = std::max(m_peakBytes, m_queuedBytes);
    Enqueue(send, queue);
  }
  // Only the first item of an empty queue wakes the worker: it pumps everything behind it, so a
  // burst costs one wake-up.
  if (first) GetHost().WakeWorker();
  return 1;
}

bool cNetHelp::OverBound(iSend* link, size_t cost) const {
  const auto queued = m_links.find(link);
  if (queued == m_links.end() || queued->second.items.empty()) return false;
  const stLinkQueue& queue = queued->second;
  if (queue.bytes + cost > (queue.guest ? kGuestQueueBytes : kLinkQueueBytes)) return true;
  return queue.guest && m_guestBytes + cost > kGuestsQueueBytes;
}

void cNetHelp::SetGuest(stLinkQueue& queue, bool guest) {
  if (queue.guest == guest) return;
  if (guest) {
    m_guestBytes += queue.bytes;
  } else {
    m_guestBytes -= std::min(m_guestBytes, queue.bytes);
  }
  queue.guest = guest;
}

void cNetHelp::Enqueue(iSend* link, stLinkQueue& queue) {
  if (queue.inTurn || queue.held || queue.items.empty()) return;
  (queue.guest ? m_guests : m_members).push_back(link);
  queue.inTurn = true;
}

// Guests take every kGuestShare-th turn while members wait, and every turn when none does. A
// link held since it was listed loses its place here.
cNetHelp::stLinkQueue* cNetHelp::NextLink() {
  for (;;) {
    const bool guestTurn = !m_guests.empty() && (m_members.empty() || ++m_nTurn % kGuestShare == 0);
    std::deque<iSend*>& turns = guestTurn ? m_guests : m_members;
    if (turns.empty()) return nullptr;
    stLinkQueue& queue = m_links[turns.front()];
    turns.pop_front();
    queue.inTurn = false;
    if (!queue.held && !queue.items.empty()) return &queue;
  }
}

bool cNetHelp::Fits(std::unique_lock<std::mutex>& lock, iSend* send, size_t cost) {
  m_room.wait_for(lock, std::chrono::milliseconds(m_nRoomWaitMs),
                  [&] { return m_nRoomWaitMs == 0 || !OverBound(send, cost); });
  return !OverBound(send, cost);
}

void cNetHelp::SetRoomWait(int ms) {
  std::lock_guard lock(m_lock);
  m_nRoomWaitMs = ms;
  m_room.notify_all();
}

void cNetHelp::Uncount(stLinkQueue& queue, const stItem& item) {
  const size_t cost = std::max<size_t>(item.msg.size, m_pool.GetPageSize());
  queue.bytes -= std::min(queue.bytes, cost);
  m_queuedBytes -= std::min(m_queuedBytes, cost);
  if (queue.guest) m_guestBytes -= std::min(m_guestBytes, cost);
  --m_nItems;
  if (m_nRoomWaitMs > 0) m_room.notify_all();
}

void cNetHelp::ReturnBuffer(const stItem& item) {
  char* buffer = reinterpret_cast<char*>(item.msg.msg);
  if (item.pooled) {
    m_pool.Free(buffer);
  } else {
    delete[] buffer;
  }
}

bool cNetHelp::TakeNext(stItem& item) {
  std::lock_guard lock(m_lock);
  stLinkQueue* queue = NextLink();
  if (queue == nullptr) return false;
  item = queue->items.front();
  queue->items.pop_front();
  Uncount(*queue, item);
  // The next record was written by the network thread on another core: start fetching its
  // first bytes while this one is handled.
  if (!queue->items.empty()) __builtin_prefetch(queue->items.front().msg.msg);
  return true;
}

void cNetHelp::AfterItem(iSend* link, bool guest) {
  std::lock_guard lock(m_lock);
  // The item may have logged the link in and released it meanwhile (its queue forgotten): a
  // logged-in link is kept, so that its next burst has its bound.
  auto it = m_links.try_emplace(link).first;
  stLinkQueue& queue = it->second;
  SetGuest(queue, guest);
  // A link is forgotten once nothing sets it apart from a new one: a logged-in link keeps its
  // larger bound between its bursts.
  if (queue.items.empty() && !queue.held && !queue.inTurn && guest == m_bNewGuest) {
    m_links.erase(it);
  } else {
    Enqueue(link, queue);
  }
}

void cNetHelp::HandleMsg(size_t most) {
  TESSEL_ASSERT_WORKER();
  size_t count;
  {
    std::lock_guard lock(m_lock);
    count = m_nItems;
  }
  if (most != 0 && count > most) count = most;
  m_nNetPump.store(0);
  m_nPeerPump.store(0);
  for (size_t i = 0; i < count; ++i) {
    stItem item;
    if (!TakeNext(item)) break;
    if (item.msg.kind == stBindMsg::kNetNotice) {
      HandleNetMessageSelf(&item.msg);
      m_nNetTotal.fetch_add(1);
      m_nNetPump.fetch_add(1);
    } else if (item.msg.kind == stBindMsg::kPeerRecord) {
      HandlePeerMessageSelf(&item.msg);
      m_nPeerTotal.fetch_add(1);
      m_nPeerPump.fetch_add(1);
    }
    ReturnBuffer(item);
    AfterItem(item.msg.send, IsGuest(item.msg.send));
  }
  GiveBackAfterBurst();
}

void cNetHelp::Hold(iSend* link, bool hold) {
  TESSEL_ASSERT_WORKER();
  // A link is released once its login is answered: it may have logged in.
  const bool guest = hold ? m_bNewGuest : IsGuest(link);
  std::lock_guard lock(m_lock);
  auto [it, made] = m_links.try_emplace(link);
  stLinkQueue& queue = it->second;
  if (made || !hold) SetGuest(queue, guest);
  // A notice that came before the hold (the link went down right behind its login) would wait
  // behind it: the link's end, which drops its login attempt, would then be handled only once
  // that attempt took its turn, and the link would keep its place among the server's links.
  const bool noticeQueued =
      std::any_of(queue.items.begin(), queue.items.end(),
                  [](const stItem& item) { return item.msg.kind == stBindMsg::kNetNotice; });
  queue.held = hold && !noticeQueued;
  if (hold) return;
  if (queue.items.empty() && !queue.inTurn && queue.guest == m_bNewGuest) {
    m_links.erase(it);
    return;
  }
  Enqueue(link, queue);
  GetHost().WakeWorker();
}

void cNetHelp::Clear() {
  std::unordered_map<iSend*, stLinkQueue> links;
  {
    std::lock_guard lock(m_lock);
    links.swap(m_links);
    m_members.clear();
    m_guests.clear();
    m_nItems = 0;
    m_queuedBytes = 0;
    m_guestBytes = 0;
  }
  for (const auto& [link, queue] : links)
    for (const stItem& item : queue.items) ReturnBuffer(item);
  GiveBackAfterBurst();
}

// The buffers of a large burst are freed on the worker while other threads allocated them: the
// pool gives back its blocks that are wholly free again, and the allocator keeps such memory in
// its arenas unless asked to give it back, once the queue ran dry.
void cNetHelp::GiveBackAfterBurst() {
  {
    std::lock_guard lock(m_lock);
    if (m_peakBytes < kGiveBackBytes || m_queuedBytes != 0) return;
    m_peakBytes = 0;
  }
  m_pool.Trim();
  malloc_trim(0);
}

size_t cNetHelp::GetQueued() const {
  std::lock_guard lock(m_lock);
  return m_nItems;
}

size_t cNetHelp::GetQueuedBytes() const {
  std::lock_guard lock(m_lock);
  return m_queuedBytes;
}

void cNetHelp::WriteExceptionEntry(const stBindMsg* msg, int result) {
  CountRefusal(result);
  if (m_pBridge == nullptr || !m_pBridge->MayLog(msg->send)) return;
  cLog& log = m_pBridge->GetExceptionLog();
  const unsigned id = msg->send != nullptr ? msg->send->GetID() : 0;
  const int type = msg->size >= sizeof(stMsg) ? msg->msg->type : -1;
  platform::ColorSection red(platform::kColorLightRed);
  log.TimeStamp() << "【ExceptionLog Exception】link #" << id;
  // A command record shows its group and text, when the text ends inside what was received.
  const cCmdRecordView view(msg->msg, msg->size);
  if (type == stMsg_Cmd::s_nType && view.TextEndsInside()) {
    log << " recieve cmd " << view.Group() << " " << EscapeControls(LogCmdText(view.Text()))
        << "\n";
  } else {
    log << " recieve msg " << type << "\n";
  }
  log << "Handled Exception " << ChatExceptionText(result) << "\n";
  log.flush();
}

// What a replay handed in is no traffic of the links: a recording started once the replay read
// its file's end would otherwise take the records still queued as if peers had sent them.
void cNetHelpTessel::HandlePeerMessageSelf(stBindMsg* msg) {
  FlightRecordReceived(msg->msg, msg->size, msg->send);
  iNetRecorder* recorder = GetNetRecorder();
  if (msg->replayed || recorder == nullptr || !recorder->IsRecording()) return;
  recorder->Record(stBindMsg::kPeerRecord, msg->msg, msg->size,
                   msg->send != nullptr ? msg->send->GetID() : 0,
                   msg->send != nullptr ? msg->send->GetName() : "");
}

void cNetHelpTessel::HandleNetMessageSelf(stBindMsg* msg) {
  iNetRecorder* recorder = GetNetRecorder();
  if (msg->replayed || recorder == nullptr || !recorder->IsRecording()) return;
  recorder->Record(stBindMsg::kNetNotice, msg->msg, msg->size,
                   msg->send != nullptr ? msg->send->GetID() : 0,
                   msg->send != nullptr ? msg->send->GetName() : "");
}
