#include "tessel/core/worker_thread.h"

#include <atomic>
#include <thread>

namespace {

// The worker's id; a default id while no worker runs.
std::atomic<std::thread::id> g_worker{};

}  // namespace

void MarkWorkerThread(bool running) {
  g_worker.store(running ? std::this_thread::get_id() : std::thread::id());
}

bool OnWorkerThread() {
  const std::thread::id worker = g_worker.load();
  return worker == std::thread::id() || worker == std::this_thread::get_id();
}

bool IsWorkerThread() {
  const std::thread::id worker = g_worker.load();
  return worker != std::thread::id() && worker == std::this_thread::get_id();
}
