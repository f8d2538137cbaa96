#include "tessel_cli/cli_output.h"

#include <unistd.h>

#include <cerrno>

namespace {

// The most text queued before the worker waits: a few of the largest answers a record holds.
constexpr size_t kMostQueuedBytes = 1 << 20;

bool WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

cAnswerWriter::cAnswerWriter(std::FILE* out)
    : m_thread([state = m_state, fd = ::fileno(out)] { Run(state, fd); }) {}

cAnswerWriter::~cAnswerWriter() {
  GiveUp();
  // A write held by its reader may never end: its thread is left to it (it holds the state),
  // and ends with the process.
  bool writing = false;
  {
    std::lock_guard<std::mutex> hold(m_state->lock);
    writing = m_state->writing;
  }
  writing ? m_thread.detach() : m_thread.join();
}

void cAnswerWriter::Run(std::shared_ptr<stState> state, int fd) {
  std::unique_lock<std::mutex> hold(state->lock);
  for (;;) {
    state->changed.wait(hold, [&] { return state->givenUp || !state->queue.empty(); });
    if (state->givenUp) return;
    const std::string text = std::move(state->queue.front());
    state->queue.pop_front();
    state->writing = true;
    hold.unlock();
    const bool written = WriteAll(fd, text);
    hold.lock();
    state->writing = false;
    state->pending -= text.size();
    if (!written) {
      state->failed = true;
      state->queue.clear();
      state->pending = 0;
    }
    state->changed.notify_all();
  }
}

void cAnswerWriter::Put(std::string text) {
  std::lock_guard<std::mutex> hold(m_state->lock);
  if (text.empty() || m_state->failed || m_state->givenUp) return;
  m_state->pending += text.size();
  m_state->queue.push_back(std::move(text));
  m_state->changed.notify_all();
}

void cAnswerWriter::WaitForRoom() {
  std::unique_lock<std::mutex> hold(m_state->lock);
  m_state->changed.wait(hold,
                        [this] { return m_state->pending < kMostQueuedBytes || m_state->givenUp; });
}

bool cAnswerWriter::Drain(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(m_state->lock);
  return m_state->changed.wait_until(hold, deadline, [this] { return m_state->pending == 0; });
}

bool cAnswerWriter::Failed() const {
  std::lock_guard<std::mutex> hold(m_state->lock);
  return m_state->failed;
}

void cAnswerWriter::GiveUp() {
  std::lock_guard<std::mutex> hold(m_state->lock);
  m_state->givenUp = true;
  m_state->changed.notify_all();
}
