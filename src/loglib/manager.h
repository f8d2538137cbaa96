// The registry behind the loggers: the loggers by name, the appender and modifier rules, and
// the start-up cache. Every member may be called from any thread; appenders and modifiers run
// outside the registry lock and must not write to a logger themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tessel/contracts/loglib.h"

namespace loglib {

// The modifiers and appenders one logger resolves to, in the order they run.
struct route {
  std::vector<std::shared_ptr<const modifier>> modifiers;
  std::vector<std::shared_ptr<const appender>> appenders;
};

struct logger::state {
  std::string name;
  manager* owner = nullptr;
  std::atomic<bool> enabled{true};
  // Guarded by the owner's lock: the resolved route and the rule generation it was built from.
  std::shared_ptr<const route> resolved;
  uint64_t generation = 0;
};

class manager {
 public:
  // Messages beyond this many are dropped (and counted) while the start-up cache is on.
  static constexpr size_t kCacheLimit = 100000;

  manager();
  ~manager();
  manager(const manager&) = delete;
  manager& operator=(const manager&) = delete;

  // The logger of that name, created on first use; it lives as long as the manager.
  logger::state& get(const std::string& name);
  void add_appender(const std::string& pattern, appender a, int index);
  void add_modifier(const std::string& pattern, modifier mod, int index);
  void write(logger::state& l, const std::string& text);
  // Ends the start-up cache (writing out what it holds); later calls do nothing.
  void flush_cache();
  bool caching() const;

 private:
  template <class F>
  struct rule {
    std::string pattern;
    int index;
    std::shared_ptr<const F> fn;
  };
  template <class F>
  static void insert_rule(std::vector<rule<F>>& rules, rule<F> r);
  std::shared_ptr<const route> route_for(logger::state& l);
  static void emit(const route& rt, record r, const std::string& name);

  mutable std::mutex mutex_;
  // Writers hold it shared while they emit; the cache drain holds it alone, so nothing written
  // after the flush can overtake what was cached before it.
  std::shared_mutex emit_mutex_;
  std::unordered_map<std::string, std::unique_ptr<logger::state>> loggers_;
  std::vector<rule<appender>> appenders_;
  std::vector<rule<modifier>> modifiers_;
  uint64_t generation_ = 1;
  bool caching_ = true;
  std::vector<std::pair<logger::state*, record>> cache_;
  size_t dropped_ = 0;
};

// The name of the logger whose line the calling thread's appender is writing ("" outside an
// appender), for appenders that tell loggers apart (the journal's).
const std::string& current_logger_name();

}  // namespace loglib
