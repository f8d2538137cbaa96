#include "tessel/core/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

struct cThread::Event {
  std::mutex mutex;
  std::condition_variable signal;
  bool signaled = false;  // auto-reset: one waiter consumes it
  bool stop = false;
  bool finished = false;  // the thread's body has returned
  std::condition_variable finishedSignal;
};

namespace {
thread_local std::shared_ptr<cThread::Event> t_current;
}

cThread::cThread() = default;

cThread::~cThread() {
  if (m_thread.joinable()) End();
}

int cThread::Start(cThreadCallback* callback) {
  std::lock_guard life(m_lifeLock);
  if (m_event) {
    std::lock_guard lock(m_event->mutex);
    m_event->stop = false;
  }
  if (m_thread.joinable() || m_event) return 0;
  m_event = std::make_shared<Event>();
  auto event = m_event;
  m_thread = std::thread([event, callback] {
    t_current = event;
    if (callback != nullptr) callback->Thread();
    t_current.reset();
    std::lock_guard lock(event->mutex);
    event->finished = true;
    event->finishedSignal.notify_all();
  });
  return 1;
}

bool cThread::End(unsigned long ms) {
  std::lock_guard life(m_lifeLock);
  if (!m_event) return true;
  {
    std::unique_lock lock(m_event->mutex);
    m_event->stop = true;
    if (!m_thread.joinable()) return true;
    m_event->signaled = true;
    m_event->signal.notify_all();
    if (!m_event->finishedSignal.wait_for(lock, std::chrono::milliseconds(ms),
                                          [&] { return m_event->finished; }))
      return false;
  }
  m_thread.join();
  m_event.reset();
  return true;
}

void cThread::End() {
  std::lock_guard life(m_lifeLock);
  if (!m_event) return;
  {
    std::lock_guard lock(m_event->mutex);
    m_event->stop = true;
    m_event->signaled = true;
    m_event->signal.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  m_event.reset();
}

void cThread::Abandon() {
  std::lock_guard life(m_lifeLock);
  if (m_thread.joinable()) m_thread.detach();
  m_event.reset();
}

std::shared_ptr<cThread::Event> cThread::GetEvent() const {
  std::lock_guard life(m_lifeLock);
  return m_event;
}

bool cThread::HasEvent() const {
  return GetEvent() != nullptr;
}

cThread::WaitResult cThread::Wait(unsigned long ms) {
  const std::shared_ptr<Event> event = GetEvent();
  if (!event) return kNoEvent;
  return Wait(*event, ms);
}

cThread::WaitResult cThread::Wait(Event& event, unsigned long ms) {
  std::unique_lock lock(event.mutex);
  if (!event.signal.wait_for(lock, std::chrono::milliseconds(ms), [&] { return event.signaled; }))
    return kTimeout;
  event.signaled = false;
  return kSignaled;
}

cThread::WaitResult cThread::WaitUntil(Event& event, std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(event.mutex);
  if (!event.signal.wait_until(lock, until, [&] { return event.signaled; })) return kTimeout;
  event.signaled = false;
  return kSignaled;
}

void cThread::Wake(Event& event) {
  std::lock_guard lock(event.mutex);
  event.signaled = true;
  event.signal.notify_one();
}

bool cThread::StopRequested(Event& event) {
  std::lock_guard lock(event.mutex);
  return event.stop;
}

bool cThread::StopRequested() const {
  const std::shared_ptr<Event> event = GetEvent();
  if (!event) return false;
  std::lock_guard lock(event->mutex);
  return event->stop;
}

std::shared_ptr<cThread::Event> cThread::Current() {
  return t_current;
}
