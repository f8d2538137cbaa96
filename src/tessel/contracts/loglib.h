// The logging library as the system sees it: named loggers, appenders and modifiers chosen by
// name pattern, and the start-up cache. Every function here may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace loglib {

class manager;

// A named logger. Loggers are created on first use and live until process exit; copies of a
// logger refer to the same named logger.
class logger {
 public:
  // The logger of that name in the process-wide manager.
  explicit logger(const std::string& name);
  // The logger of that name in the given manager (tests use managers of their own).
  logger(manager& m, const std::string& name);
  // Whether a message of this level would be written (every level is enabled by default).
  bool operator()(int level) const;
  manager& get_manager() const;
  const std::string& name() const;
  void set_enabled(bool on) const;

  struct state;

 private:
  state* state_;
};

// The process-wide registry of loggers, appenders and modifiers.
manager& default_manager();

// One message on its way to the appenders. Time and thread are those of the write_msg call,
// so a message kept in the start-up cache still carries when and where it was written.
struct record {
  std::string text;
  std::chrono::system_clock::time_point time;
  long thread = 0;  // the writer's kernel thread id
};

// An appender receives each finished line of a logger it matches. It must be callable from any
// thread and must not write to a logger itself.
using appender = std::function<void(const std::string& line)>;
// A modifier rewrites a message before the appenders see it.
using modifier = std::function<void(record& r)>;

// Writes one message, unless the logger has that level disabled. Modifiers run in ascending
// index order (equal indices in the order they were added), then the appenders likewise. Until
// flush_log_cache() is first called, messages are kept in a cache and written out (through the
// then registered modifiers and appenders) by that call.
void write_msg(manager& m, const logger& l, const std::string& text, int level);

// Pattern: an exact logger name, or a name with '*' wildcards ("*" matches every logger).
void add_appender(manager& m, const std::string& pattern, appender a, int index);
void add_modifier(manager& m, const std::string& pattern, modifier mod, int index);

// Appenders. write_to_cout writes each line to standard output in one piece.
appender write_to_cout();
// Sends each line to the systemd journal, identified by the name of its logger and with a
// priority told by that name (".fetalerror": critical; "timererror", "numerror": warning; other
// names holding "err": error; the rest: info). Lines the journal does not take are dropped.
appender write_to_journal();
// Appends (or, with append = false, truncates first) the named file. A file that cannot be
// opened is reported once on standard error; its lines are then dropped, unless it could not be
// opened for now (no descriptor, memory or room free): it is then opened at a later line, which
// is said with the count of the lines lost before.
appender write_to_file(const std::string& file, bool append);
// Called by write_to_file between the judgement of a file's name and its open (tests act
// there); null for none. Any thread; set while no file is being opened.
void set_before_open(void (*hook)(const std::string& file));
// Appends to the file open as `fd` (opened for appending, and judged, by the caller), named
// `file` in messages; the appender owns the descriptor. Appenders of one path share a sink only
// while it writes to that very file.
appender write_to_descriptor(int fd, const std::string& file);

// Modifiers. Time format fields: $yy $yyyy $MM $dd $hh $mm $ss (local time of the message).
modifier prepend_time(const std::string& format);
// Prepends "[<thread id>] ".
modifier prepend_thread_id();
// Ends the message with a line end, unless it already ends with one.
modifier append_enter();

// Ends the start-up cache: writes what was cached and from now on writes directly. Later calls
// only flush the files.
void flush_log_cache();
void flush_log_cache(manager& m);
// Flushes every file appender (called at the end of the process and on a crash).
void flush_all();

}  // namespace loglib
