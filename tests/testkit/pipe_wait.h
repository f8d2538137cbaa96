// Whether opening something at a pipe's name returns without a reader: the open runs on a thread
// of its own, and one that waits there is let go by a reader after 20 s, so the test ends either
// way. Header-only. Main thread.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

namespace testkit {

inline bool ReturnsWithoutAReader(const std::string& fifo, const std::function<void()>& open) {
  std::future<void> done = std::async(std::launch::async, open);
  if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready) return true;
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  done.wait();
  ::close(reader);
  return false;
}

}  // namespace testkit
