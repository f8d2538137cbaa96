// The lines written to one named logger of the process-wide manager from construction on. The
// appender stays for the rest of the program: keep one per name (a function-local static).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tessel/contracts/loglib.h"

namespace testing_support {

struct logger_lines {
  explicit logger_lines(const std::string& name) {
    loglib::flush_log_cache();
    loglib::add_appender(
        loglib::default_manager(), name,
        [this](const std::string& l) {
          std::lock_guard g(mutex);
          lines.push_back(l);
        },
        1000);
  }
  // The lines since the last call.
  std::vector<std::string> take() {
    std::lock_guard g(mutex);
    return std::exchange(lines, {});
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

}  // namespace testing_support
