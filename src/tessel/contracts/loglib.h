// The logging library as the system sees it: named loggers, appenders and modifiers chosen by
// name pattern, and the start-up cache. Every function here may be called from any thread.
#pragma once

#include <functional>
#include <string>

namespace loglib {

class manager;

// A named logger. Loggers are created on first use and live until process exit; copies of a
// logger refer to the same named logger.
class logger {
 public:
  explicit logger(const std::string& name);
  // Whether a message of this level would be written (every level is enabled by default).
  bool operator()(int level) const;
  manager& get_manager() const;
  const std::string& name() const;
  void set_enabled(bool on) const;

 private:
  struct state;
  state* state_;
};

// The process-wide registry of loggers, appenders and modifiers.
manager& default_manager();

// An appender receives each finished line of a logger it matches.
using appender = std::function<void(const std::string& line)>;
// A modifier rewrites a message before the appenders see it.
using modifier = std::function<void(std::string& text)>;

// Writes one message. Modifiers run in ascending index order, then the appenders in ascending
// index order. Until flush_log_cache() is first called, messages are kept in a cache and
// written out (through the then registered modifiers and appenders) by that call.
void write_msg(manager& m, const logger& l, const std::string& text, int level);

// Pattern: an exact logger name, or a name with '*' wildcards ("*" matches every logger).
void add_appender(manager& m, const std::string& pattern, appender a, int index);
void add_modifier(manager& m, const std::string& pattern, modifier mod, int index);

// Appenders.
appender write_to_cout();
// Appends (or, with append = false, truncates first) the named file; folders must exist.
appender write_to_file(const std::string& file, bool append);

// Modifiers. Time format fields: $yy $yyyy $MM $dd $hh $mm $ss (local time).
modifier prepend_time(const std::string& format);
modifier prepend_thread_id();
modifier append_enter();

// Ends the start-up cache: writes what was cached and from now on writes directly.
void flush_log_cache();
// Flushes every file appender (called at the end of the process and on a crash).
void flush_all();

}  // namespace loglib
