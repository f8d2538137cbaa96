// The logger handle and the free functions of the library, forwarding to a manager.
#include "loglib/manager.h"

namespace loglib {

manager& default_manager() {
  // Never destroyed: loggers are written until the very end of the process, including from
  // destructors of other statics and from the crash path.
  static manager* const instance = new manager;
  return *instance;
}

logger::logger(const std::string& name) : logger(default_manager(), name) {}

logger::logger(manager& m, const std::string& name) : state_(&m.get(name)) {}

bool logger::operator()(int /*level*/) const {
  return state_->enabled.load(std::memory_order_relaxed);
}

manager& logger::get_manager() const {
  return *state_->owner;
}

const std::string& logger::name() const {
  return state_->name;
}

void logger::set_enabled(bool on) const {
  state_->enabled.store(on, std::memory_order_relaxed);
}

void write_msg(manager& m, const logger& l, const std::string& text, int level) {
  if (!l(level)) return;
  auto& s = m.get(l.name());
  m.write(s, text);
}

void add_appender(manager& m, const std::string& pattern, appender a, int index) {
  m.add_appender(pattern, std::move(a), index);
}

void add_modifier(manager& m, const std::string& pattern, modifier mod, int index) {
  m.add_modifier(pattern, std::move(mod), index);
}

void flush_log_cache(manager& m) {
  m.flush_cache();
  flush_all();
}

void flush_log_cache() {
  flush_log_cache(default_manager());
}

}  // namespace loglib
