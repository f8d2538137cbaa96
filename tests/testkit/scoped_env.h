// Sets (or, given nullptr, removes) one environment variable for a scope and restores the
// previous value at its end. Header-only. Main thread.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const char* value) {
    value ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};
