// The lines written to one named logger of the process-wide manager from construction on. The
// appender stays for the rest of the program: keep one per name (a function-local static).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tessel/contracts/loglib.h"

namespace testing_support {

class logger_lines {
 public:
  explicit logger_lines(const std::string& name) {
    loglib::flush_log_cache();
    loglib::add_appender(
        loglib::default_manager(), name,
        [this](const std::string& line) {
          std::lock_guard lock(mutex_);
          lines_.push_back(line);
        },
        1000);
  }
  // The lines since the last call.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace testing_support
