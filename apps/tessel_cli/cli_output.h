// The answers' way to standard output: a thread of its own writes what is queued, so that a
// reader that takes nothing (a pipe nobody reads, a terminal paused with Ctrl-S) holds neither
// the link's worker in a write nor a wait of the main thread; those keep their bounds. What is
// queued is bounded: the worker waits for room before it takes another answer off the link.
// Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class cAnswerWriter {
 public:
  explicit cAnswerWriter(std::FILE* out);
  // Gives up what is still queued; a write that does not end is left to its thread.
  ~cAnswerWriter();
  cAnswerWriter(const cAnswerWriter&) = delete;
  cAnswerWriter& operator=(const cAnswerWriter&) = delete;

  // Queues `text`; never waits. Dropped once a write failed.
  void Put(std::string text);
  // Waits until the queue has room for another answer, or the writer was given up.
  void WaitForRoom();
  // Waits until `deadline` at most for everything queued so far to be written: false when some
  // is still waiting for the reader.
  bool Drain(std::chrono::steady_clock::time_point deadline);
  // Whether a write failed (a full disk, a closed pipe): the text from there on was dropped.
  bool Failed() const;
  // Nothing more is written, and nobody waits for room any more.
  void GiveUp();

 private:
  struct stState {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> queue;
    size_t pending = 0;  // bytes queued or being written
    bool writing = false;
    bool failed = false;
    bool givenUp = false;
  };
  static void Run(std::shared_ptr<stState> state, int fd);

  std::shared_ptr<stState> m_state = std::make_shared<stState>();
  std::thread m_thread;
};
