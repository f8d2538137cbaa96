#include "tessel/console/groups/maintain_disk.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// One question and its answer, shared by the asker and the thread that asks the file system.
struct stQuestion {
  std::mutex lock;
  std::condition_variable answered;
  bool done = false;
  int result = -1;
  int error = 0;  // errno of a refusal
  struct statvfs info {};
};

std::mutex g_lock;
cMaintainDisk::Query g_query;
// A question left without an answer: its thread may hang for good, so no other is started
// until it answered.
std::shared_ptr<stQuestion> g_pending;

}  // namespace

void cMaintainDisk::SetQuery(Query query) {
  std::lock_guard guard(g_lock);
  g_query = std::move(query);
}

bool cMaintainDisk::Ask(const std::string& path, struct statvfs& info, std::string& why) {
  auto question = std::make_shared<stQuestion>();
  Query query;
  {
    std::lock_guard guard(g_lock);
    if (g_pending) {
      std::lock_guard pending(g_pending->lock);
      if (!g_pending->done) {
        why = "an earlier question has not been answered yet";
        return false;
      }
    }
    g_pending.reset();
    query =
        g_query ? g_query : [](const char* p, struct statvfs* out) { return ::statvfs(p, out); };
  }
  try {
    std::thread([question, query, path] {
      struct statvfs found {};
      errno = 0;
      const int result = query(path.c_str(), &found);
      const int error = errno;
      std::lock_guard guard(question->lock);
      question->result = result;
      question->error = error;
      question->info = found;
      question->done = true;
      question->answered.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    why = "no thread to ask the file system";
    return false;
  }
  std::unique_lock wait(question->lock);
  if (!question->answered.wait_for(wait, std::chrono::milliseconds(kWaitMs),
                                   [&] { return question->done; })) {
    wait.unlock();
    std::lock_guard guard(g_lock);
    g_pending = question;
    why = "no answer within " + std::to_string(kWaitMs / 1000) + " s";
    return false;
  }
  why.clear();
  info = question->info;
  if (question->result == 0) return true;
  // A refusal says why: " failed" alone left the operator guessing (no such path, no right).
  why = "refused: " +
        std::error_code(question->error != 0 ? question->error : EIO, std::generic_category())
            .message();
  return false;
}
