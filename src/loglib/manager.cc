#include "loglib/manager.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "loglib/name_pattern.h"

namespace loglib {

namespace {

long current_thread_id() {
  return static_cast<long>(::syscall(SYS_gettid));
}

// A failing appender or modifier must not take the writer down with it; the failure is shown on
// standard error, which is all a logging library can still rely on.
void report_failure(const char* what) {
  std::fprintf(stderr, "loglib: an appender or modifier failed: %s\n", what);
}

}  // namespace

manager::manager() = default;
manager::~manager() = default;

logger::state& manager::get(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto& slot = loggers_[name];
  if (!slot) {
    slot = std::make_unique<logger::state>();
    slot->name = name;
    slot->owner = this;
  }
  return *slot;
}

// Rules stay sorted by index; a new rule goes after those of equal index, so equal indices keep
// the order in which they were added.
template <class F>
void manager::insert_rule(std::vector<rule<F>>& rules, rule<F> r) {
  auto at = std::upper_bound(rules.begin(), rules.end(), r.index,
                             [](int index, const rule<F>& x) { return index < x.index; });
  rules.insert(at, std::move(r));
}

void manager::add_appender(const std::string& pattern, appender a, int index) {
  std::lock_guard lock(mutex_);
  insert_rule(appenders_, {pattern, index, std::make_shared<const appender>(std::move(a))});
  ++generation_;
}

void manager::add_modifier(const std::string& pattern, modifier mod, int index) {
  std::lock_guard lock(mutex_);
  insert_rule(modifiers_, {pattern, index, std::make_shared<const modifier>(std::move(mod))});
  ++generation_;
}

bool manager::caching() const {
  std::lock_guard lock(mutex_);
  return caching_;
}

// Called with mutex_ held. A logger's route is rebuilt only when rules changed since.
std::shared_ptr<const route> manager::route_for(logger::state& l) {
  if (l.resolved && l.generation == generation_) return l.resolved;
  auto rt = std::make_shared<route>();
  for (const auto& r : modifiers_)
    if (name_matches(r.pattern, l.name)) rt->modifiers.push_back(r.fn);
  for (const auto& r : appenders_)
    if (name_matches(r.pattern, l.name)) rt->appenders.push_back(r.fn);
  l.resolved = std::move(rt);
  l.generation = generation_;
  return l.resolved;
}

// One appender that fails (a full disk, a closed stream) costs only its own copy of the line;
// the appenders after it still get theirs.
namespace {
thread_local const std::string* t_logger_name = nullptr;
}  // namespace

const std::string& current_logger_name() {
  static const std::string none;
  return t_logger_name != nullptr ? *t_logger_name : none;
}

void manager::emit(const route& rt, record r, const std::string& name) {
  const auto guarded = [](const auto& step) {
    try {
      step();
    } catch (const std::exception& e) {
      report_failure(e.what());
    } catch (...) {
      report_failure("unknown exception");
    }
  };
  guarded([&] {
    for (const auto& m : rt.modifiers) (*m)(r);
  });
  t_logger_name = &name;
  for (const auto& a : rt.appenders) guarded([&] { (*a)(r.text); });
  t_logger_name = nullptr;
}

void manager::write(logger::state& l, const std::string& text) {
  record r{text, std::chrono::system_clock::now(), current_thread_id()};
  std::shared_lock emitting(emit_mutex_);
  std::shared_ptr<const route> rt;
  {
    std::lock_guard lock(mutex_);
    if (caching_) {
      if (cache_.size() < kCacheLimit)
        cache_.emplace_back(&l, std::move(r));
      else
        ++dropped_;
      return;
    }
    rt = route_for(l);
  }
  emit(*rt, std::move(r), l.name);
}

void manager::flush_cache() {
  std::unique_lock draining(emit_mutex_);
  std::vector<std::pair<logger::state*, record>> cached;
  std::vector<std::shared_ptr<const route>> routes;
  size_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    if (!caching_) return;
    caching_ = false;
    cached.swap(cache_);
    std::swap(dropped, dropped_);
    routes.reserve(cached.size());
    for (auto& [l, r] : cached) routes.push_back(route_for(*l));
  }
  for (size_t i = 0; i < cached.size(); ++i)
    emit(*routes[i], std::move(cached[i].second), cached[i].first->name);
  if (dropped > 0)
    std::fprintf(stderr, "loglib: %zu start-up messages dropped (cache full)\n", dropped);
}

}  // namespace loglib
