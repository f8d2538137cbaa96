// One worker thread with its wake event and stop flag. The owner starts and ends it; an end may
// come from another thread while the start is still under way (a console signal during start-up),
// so both hold the life lock. The worker reaches its own event through cThread::Current().
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

// The body run by a cThread.
class cThreadCallback {
 public:
  virtual unsigned int Thread() = 0;

 protected:
  ~cThreadCallback() = default;
};

class cThread {
 public:
  enum WaitResult { kSignaled, kTimeout, kNoEvent };

  // The auto-reset event and flags, shared by the owner and the thread itself, so that an
  // abandoned thread never touches a deleted object.
  struct Event;

  cThread();
  virtual ~cThread();
  cThread(const cThread&) = delete;
  cThread& operator=(const cThread&) = delete;

  // Clears the stop flag, then starts the thread running callback->Thread() (a null callback
  // ends at once with 0). Returns 0 when a thread or an event already exists, else 1.
  int Start(cThreadCallback* callback);

  // Sets the stop flag and, if there is a thread, signals the event and waits for the thread at
  // most ms milliseconds. On time-out returns false and keeps the thread; otherwise releases it
  // and returns true. With no thread, returns true at once.
  bool End(unsigned long ms);
  // Ends without a time-out.
  void End();

  // Lets the thread run on by itself: used when it did not end in time. The process can still
  // end; the thread keeps its event alive.
  void Abandon();

  WaitResult Wait(unsigned long ms);
  bool HasEvent() const;
  bool StopRequested() const;

  // The event of the cThread running the calling thread, or null on any other thread.
  static std::shared_ptr<Event> Current();
  static WaitResult Wait(Event& event, unsigned long ms);
  // Waits until the event is signalled or `until` has come; returns at once when it is already
  // signalled (and consumes the signal).
  static WaitResult WaitUntil(Event& event, std::chrono::steady_clock::time_point until);
  // Signals the event without asking the thread to stop: its wait returns early. Any thread.
  static void Wake(Event& event);
  // Whether the owner has asked the thread to stop. Any thread.
  static bool StopRequested(Event& event);

 private:
  std::shared_ptr<Event> GetEvent() const;

  mutable std::mutex m_lifeLock;  // guards m_thread and m_event
  std::thread m_thread;
  std::shared_ptr<Event> m_event;
};
