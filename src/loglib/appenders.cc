// The console and file appenders, on spdlog's thread-safe sinks. Each line goes to its sink in
// one call under the sink's lock, so lines of concurrent writers never interleave.
#include <fcntl.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "loglib/manager.h"
#include "platform/descriptors.h"
#include "platform/text_clean.h"
#include "tessel/contracts/loglib.h"

namespace loglib {

namespace {

std::atomic<void (*)(const std::string&)> g_beforeOpen{nullptr};

using sink_ptr = std::shared_ptr<spdlog::sinks::sink>;

// Errors that pass: no descriptor, memory or room free for now.
bool for_now(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOSPC ||
         error == EDQUOT;
}

// A log file that could not be opened, with the error of its open.
struct open_failed : spdlog::spdlog_ex {
  open_failed(const std::string& what, int error) : spdlog::spdlog_ex(what, error), error(error) {}
  int error;
};

// Lines arrive finished (prefixes and line end come from the modifiers), so the sinks write
// the text exactly as given.
void use_plain_format(spdlog::sinks::sink& s) {
  s.set_formatter(
      std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
}

void write_line(spdlog::sinks::sink& s, const std::string& line) {
  spdlog::details::log_msg msg(spdlog::string_view_t{}, spdlog::level::info,
                               spdlog::string_view_t(line.data(), line.size()));
  s.log(msg);
}

// A log file as a sink. spdlog's own file sink opens without close-on-exec, so every child the
// process starts would hold the log; this one opens with it ("e"). Its folders are made first.
class file_sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  file_sink(const std::string& file, bool truncate) : m_name(file), m_shown(EscapeControls(file)) {
    std::error_code ec;
    const std::filesystem::path path(file);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    m_file = open_alone(truncate);
    if (m_file == nullptr) {
      const int error = errno;
      throw open_failed("can not open " + file, error);
    }
    m_whole = size();
    keep_folder();
  }
  // Over a file the caller opened (for appending) and judged; the sink closes it.
  file_sink(int fd, const std::string& file) : m_name(file), m_shown(EscapeControls(file)) {
    m_file = ::fdopen(fd, "a");
    if (m_file == nullptr) {
      ::close(fd);
      throw spdlog::spdlog_ex("can not open " + file, errno);
    }
    m_whole = size();
    keep_folder();
  }
  ~file_sink() override {
    std::fclose(m_file);
    if (m_folder >= 0) ::close(m_folder);
  }

  // Whether the sink writes to the file open as `fd` (the same device and inode).
  bool writes_to(int fd) {
    std::lock_guard lock(mutex_);
    struct stat mine {};
    struct stat theirs {};
    return ::fstat(::fileno(m_file), &mine) == 0 && ::fstat(fd, &theirs) == 0 &&
           mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    follow_name();
    spdlog::memory_buf_t text;
    // A failed write may have left part of its line: the next line begins on a line of its own.
    if (m_failing && size() != m_whole) text.push_back('\n');
    formatter_->format(msg, text);
    if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size()) return failed();
    m_pending += static_cast<off_t>(text.size());
    m_wrote = true;
  }
  void flush_() override {
    if (std::fflush(m_file) != 0) return failed();
    if (m_failing && !m_wrote) return;  // nothing written since the failure
    m_whole = m_failing ? size() : m_whole + m_pending;
    m_pending = 0;
    if (m_failing) {
      m_failing = false;
      std::fprintf(stderr, "loglib: writes to log file %s again\n", m_shown.c_str());
    }
  }

 private:
  // A file that cannot take its lines (a full disk) is said once, and so is its recovery: the
  // first line written whole after it.
  void failed() {
    if (!m_failing)
      std::fprintf(stderr,
                   "loglib: can not write log file %s: %s; lines may be lost until it can\n",
                   m_shown.c_str(), std::strerror(errno));
    m_failing = true;
    m_wrote = false;
    m_pending = 0;
    std::clearerr(m_file);
  }
  // Opens the file at the name as fopen "a" or "w" would (close-on-exec), but judged before
  // anything is cut: a regular file with other names (a hard link, which may lie outside the log
  // folder), or a file a symbolic link leads to, would take the lines too. The name here is taken
  // away, what it led to is kept as it was, and a new file is made in its place, which is said on
  // standard error; the file opened is judged again (one linked in meanwhile is not written).
  std::FILE* open_alone(bool truncate) {
    const int flags =
        O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (truncate ? 0 : O_APPEND);
    bool taken = false;
    const platform::eForeignFile foreign = platform::TakeNameFromForeignFile(m_name, taken);
    if (auto hook = g_beforeOpen.load()) hook(m_name);
    // A link to no regular file (/dev/null) is followed as before; no other link.
    const bool kept_link = foreign == platform::eForeignFile::kNone && is_link();
    // Such a link makes nothing (it may have been swapped for a link to nothing).
    int fd =
        foreign == platform::eForeignFile::kNone || taken
            ? ::open(m_name.c_str(),
                     kept_link ? flags & ~O_CREAT : flags | (taken ? O_EXCL : 0) | O_NOFOLLOW, 0666)
            : -1;
    if (foreign != platform::eForeignFile::kNone) {
      const int error = errno;
      std::fprintf(stderr, "loglib: log file %s %s; %s%s%s\n", m_shown.c_str(),
                   platform::ForeignFileWords(foreign),
                   fd >= 0 ? platform::ForeignFileKept(foreign) : "it is not written: ",
                   fd >= 0 ? " and its lines go into a new file at its name" : "",
                   fd >= 0 ? "" : std::strerror(error));
      errno = error;
    }
    // Opened without waiting: a pipe nobody reads would hold the process at its open for ever
    // (it fails, ENXIO, and is said); the writes wait as before.
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || platform::HasOtherNames(st))) {
      ::close(fd);
      errno = EMLINK;
      return nullptr;
    }
    // A regular file reached through the kept link: one swapped in after the name was judged,
    // which may lead outside the log folder.
    if (fd >= 0 && kept_link && S_ISREG(st.st_mode)) {
      ::close(fd);
      std::fprintf(stderr,
                   "loglib: log file %s %s, put there after its name was judged; it is not "
                   "written\n",
                   m_shown.c_str(), platform::ForeignFileWords(platform::eForeignFile::kSymlink));
      errno = ELOOP;
      return nullptr;
    }
    if (fd >= 0 && truncate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return nullptr;
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, truncate ? "w" : "a") : nullptr;
    if (file == nullptr && fd >= 0) ::close(fd);
    return file;
  }
  bool is_link() const {
    struct stat st {};
    return ::lstat(m_name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
  // The folder the file was opened in, kept open to make the file again there should it be
  // removed; none when the folder at the file's path holds another file of that name.
  void keep_folder() {
    const std::filesystem::path path(m_name);
    m_leaf = path.filename().string();
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
    m_folder = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat there {};
    struct stat mine {};
    if (m_folder >= 0 && (::fstatat(m_folder, m_leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                          ::fstat(::fileno(m_file), &mine) != 0 || there.st_ino != mine.st_ino ||
                          there.st_dev != mine.st_dev)) {
      ::close(m_folder);
      m_folder = -1;
    }
  }
  // A log file removed while written (to make room, say), or moved away from its name (log
  // rotation renames it, then makes an empty file there or leaves the name free), would take
  // every later line where nobody looks for them: the lines go on at the file's name, in the very
  // folder it was opened in (no link followed): in a new file, or in the file rotation made there
  // (a regular file of this user with no other name); nothing else standing there is written into.
  void follow_name() {
    struct stat st {};
    if (m_folder < 0 || ::fstat(::fileno(m_file), &st) != 0) return;
    struct stat there {};
    const bool named = ::fstatat(m_folder, m_leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    if (st.st_nlink != 0 && named && there.st_dev == st.st_dev && there.st_ino == st.st_ino) return;
    std::fflush(m_file);
    const char* const how = st.st_nlink == 0 ? "removed" : "moved";
    std::string why;
    errno = 0;
    std::FILE* file = open_at_name(named ? &there : nullptr, st.st_mode & 07777, why);
    if (file == nullptr && for_now(errno)) {
      // No descriptor (or memory, or room) free for now: given up for good, the lines stayed in
      // the moved file, or went into the removed one, once it was free again. The lines go on in
      // the file open, and the name is tried again at the next line; said once.
      if (!m_late)
        std::fprintf(stderr,
                     "loglib: log file %s was %s and can not be %s yet: %s; tried again at "
                     "each line\n",
                     m_shown.c_str(), how, named ? "followed" : "made again", why.c_str());
      m_late = true;
      return;
    }
    m_late = false;
    if (file == nullptr) {
      std::fprintf(stderr, "loglib: log file %s was %s and can not be %s: %s\n", m_shown.c_str(),
                   how, named ? "followed" : "made again", why.c_str());
      ::close(m_folder);
      m_folder = -1;
      return;
    }
    std::fclose(m_file);
    m_file = file;
    m_whole = size();
    m_pending = 0;
    std::fprintf(stderr, "loglib: log file %s was %s; its lines go on in %s\n", m_shown.c_str(),
                 how, named ? "the file now at its name" : "a new file");
  }
  // The file at the name: made anew when none stands there; else the one there when it is a
  // regular file of this user with no other name (never a link, a device or a pipe).
  std::FILE* open_at_name(const struct stat* there, mode_t mode, std::string& why) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    why = "another kind of file stands at its name";
    if (there != nullptr && !platform::TakesALog(*there)) return nullptr;
    const int fd = ::openat(m_folder, m_leaf.c_str(),
                            there != nullptr ? kFlags : kFlags | O_CREAT | O_EXCL, mode);
    struct stat st {};
    if (fd >= 0 && there != nullptr && (::fstat(fd, &st) != 0 || !platform::TakesALog(st))) {
      ::close(fd);
      return nullptr;
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
      why = std::strerror(errno);
      if (fd >= 0) ::close(fd);
    }
    return file;
  }
  off_t size() const {
    struct stat st {};
    return ::fstat(::fileno(m_file), &st) == 0 ? st.st_size : -1;
  }

  std::string m_name;
  std::string m_shown;  // the name as messages show it, control bytes escaped
  std::string m_leaf;   // the file's name in its folder
  std::FILE* m_file = nullptr;
  int m_folder = -1;
  bool m_failing = false;
  bool m_wrote = false;  // a line went into the buffer since the last failure
  bool m_late = false;   // the name could not be followed for now
  off_t m_whole = 0;     // the file's size where its last whole line ends
  off_t m_pending = 0;   // the bytes written into the buffer since the last flush
};

// One sink per file path, shared by every appender of that file, so two appenders of one file
// do not race each other with separate buffers.
struct file_registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<spdlog::sinks::sink>> sinks;

  static file_registry& instance() {
    static file_registry* const r = new file_registry;
    return *r;
  }

  sink_ptr open(const std::string& file, bool append) {
    std::lock_guard lock(mutex);
    if (auto existing = sinks[file].lock()) return existing;
    sink_ptr s = std::make_shared<file_sink>(file, !append);
    use_plain_format(*s);
    sinks[file] = s;
    return s;
  }

  // A sink over a file already open: the one of the same path is shared when it writes to that
  // very file, else the new one takes the path's place for later appenders.
  sink_ptr open(int fd, const std::string& file) {
    std::lock_guard lock(mutex);
    auto existing = std::static_pointer_cast<file_sink>(sinks[file].lock());
    if (existing && existing->writes_to(fd)) {
      ::close(fd);
      return existing;
    }
    sink_ptr s = std::make_shared<file_sink>(fd, file);
    use_plain_format(*s);
    sinks[file] = s;
    return s;
  }

  void flush_all() {
    std::lock_guard lock(mutex);
    for (auto& [name, weak] : sinks)
      if (auto s = weak.lock()) s->flush();
  }
};

sink_ptr cout_sink() {
  static const sink_ptr s = [] {
    sink_ptr p = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    use_plain_format(*p);
    return p;
  }();
  return s;
}

}  // namespace

appender write_to_cout() {
  sink_ptr s = cout_sink();
  return [s](const std::string& line) { write_line(*s, line); };
}

spdlog::level::level_enum journal_level(const std::string& name) {
  if (name.ends_with("fetalerror")) return spdlog::level::critical;
  if (name.ends_with("timererror") || name.ends_with("numerror")) return spdlog::level::warn;
  if (name.find("err") != std::string::npos) return spdlog::level::err;
  return spdlog::level::info;
}

appender write_to_journal() {
  auto s = std::make_shared<spdlog::sinks::systemd_sink_mt>();
  return [s](const std::string& line) {
    const std::string& name = current_logger_name();
    size_t size = line.size();
    while (size > 0 && line[size - 1] == '\n') --size;
    spdlog::details::log_msg msg(name, journal_level(name),
                                 spdlog::string_view_t(line.data(), size));
    try {
      s->log(msg);
    } catch (const spdlog::spdlog_ex&) {
      // No journal to take it (its socket is gone): the log files still have the line.
    }
  };
}

namespace {
void write_flushed(spdlog::sinks::sink& s, const std::string& line) {
  write_line(s, line);
  s.flush();
}

// A file that could not be opened for now (no descriptor free, say) is opened at a later line:
// dropping its lines for good left the log empty for the rest of the run. The lines before are
// lost; their count is said once it opens.
class late_file {
 public:
  late_file(std::string file, bool append) : m_file(std::move(file)), m_append(append) {}
  void write(const std::string& line) {
    sink_ptr s = sink();
    if (s) write_flushed(*s, line);
  }

 private:
  sink_ptr sink() {
    std::lock_guard lock(m_mutex);
    if (m_sink) return m_sink;
    try {
      m_sink = file_registry::instance().open(m_file, m_append);
    } catch (const std::exception&) {
      ++m_lost;
      return nullptr;
    }
    std::fprintf(stderr, "loglib: log file %s is open at last; %llu lines before were lost\n",
                 EscapeControls(m_file).c_str(), m_lost);
    return m_sink;
  }

  std::mutex m_mutex;  // guards what follows
  const std::string m_file;
  const bool m_append;
  sink_ptr m_sink;
  unsigned long long m_lost = 0;
};

// Each line is flushed at once: a log read while the process runs, or after it was killed, is
// complete up to the last line written. A file that cannot be opened takes no lines; one that
// cannot be opened for now is tried again at each line (`later`, when given, makes that).
template <class Open>
appender write_to_sink(const std::string& file, Open open,
                       std::function<appender()> later = nullptr) {
  sink_ptr s;
  try {
    s = open(file_registry::instance());
  } catch (const std::exception& e) {
    const auto* failed = dynamic_cast<const open_failed*>(&e);
    const bool retried = later && failed != nullptr && for_now(failed->error);
    // The name is the command's: its control bytes reach the terminal and the journal escaped.
    std::fprintf(stderr, "loglib: can not open log file %s: %s%s\n", EscapeControls(file).c_str(),
                 EscapeControls(e.what()).c_str(), retried ? "; tried again at each line" : "");
    if (retried) return later();
    return [](const std::string&) {};
  }
  return [s](const std::string& line) { write_flushed(*s, line); };
}
}  // namespace

void set_before_open(void (*hook)(const std::string& file)) {
  g_beforeOpen.store(hook);
}

appender write_to_file(const std::string& file, bool append) {
  return write_to_sink(
      file, [&](file_registry& r) { return r.open(file, append); },
      [&]() -> appender {
        auto late = std::make_shared<late_file>(file, append);
        return [late](const std::string& line) { late->write(line); };
      });
}

appender write_to_descriptor(int fd, const std::string& file) {
  return write_to_sink(file, [&](file_registry& r) { return r.open(fd, file); });
}

void flush_all() {
  file_registry::instance().flush_all();
  std::fflush(stdout);
}

}  // namespace loglib
