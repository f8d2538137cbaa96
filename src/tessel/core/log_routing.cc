#include "tessel/core/log_routing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "platform/console_color.h"
#include "platform/folders.h"
#include "platform/local_time.h"
#include "platform/text_clean.h"
#include "tessel/contracts/loglib.h"
#include "tessel/core/host.h"
#include "tessel/core/loggers.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/unreadable_line.h"

namespace {

// Index of the appenders the system adds, and of its modifiers; the time goes in front last.
constexpr int kAppenderIndex = 100;
constexpr int kTimeModifierIndex = 0x7FFFFFFF;

void AddFileAppender(const char* name, const std::string& file) {
  loglib::add_appender(loglib::default_manager(), name, loglib::write_to_file(file, true),
                       kAppenderIndex);
}

void WriteErrorSection(const char* text) {
  {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << text << std::endl;
  }
  TESSEL_LOG(tessel_err(), text << "\n");
}

}  // namespace

std::string LogFilePath(const char* name) {
  return platform::ToSlashes(GetHost().LogFilePath(name));
}

void AddAppenderCout(const char* name) {
  std::cout << "append cout " << EscapeControls(name) << std::endl;
  loglib::add_appender(loglib::default_manager(), name, loglib::write_to_cout(), kAppenderIndex);
}

namespace {

// Opens `path` for appending inside the log folder, every folder on the way and the file judged
// as opened: a link swapped in after the name was checked leads nowhere outside. False (after
// saying so) when it cannot.
bool AddConfinedAppender(const char* name, const std::string& path) {
  std::filesystem::path root = std::filesystem::path(LogFilePath("")).lexically_normal();
  if (!root.has_filename()) root = root.parent_path();
  const int fd = platform::OpenAppendInFolder(root, std::filesystem::path(path).lexically_normal());
  if (fd < 0) {
    std::cout << "can not open log file " << EscapeControls(path) << std::endl;
    return false;
  }
  // A file with other names (a hard link) may be one outside the log folder: its lines would
  // reach that file too. It is left as it is.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_nlink > 1) {
    ::close(fd);
    std::cout << "can not open log file " << EscapeControls(path)
              << ": it has other names (a hard link), which may lie outside the log folder"
              << std::endl;
    return false;
  }
  loglib::add_appender(loglib::default_manager(), name, loglib::write_to_descriptor(fd, path),
                       kAppenderIndex);
  return true;
}

}  // namespace

void AddAppenderFile(const char* name, const char* file, bool inLogFolder) {
  std::cout << "append file " << EscapeControls(name) << " " << EscapeControls(file) << std::endl;
  std::string path = LogFilePath(file);
  if (inLogFolder) {
    AddConfinedAppender(name, path);
    return;
  }
  platform::CreateNestedFolders(path);
  AddFileAppender(name, path);
}

// The folder is created as a folder even when its name carries a dot ("tessel.info"), so the
// appender's file can be opened in it.
std::string AddAppenderFolder(const char* name, const char* folder, bool inLogFolder) {
  std::string time = platform::LocalTimeNow(platform::kFileTimeFormat);
  std::cout << "append folder " << EscapeControls(name) << " " << EscapeControls(folder)
            << std::endl;
  std::string path = LogFilePath(folder);
  std::string file = path + "/" + time + ".log";
  if (inLogFolder) return AddConfinedAppender(name, file) ? file : std::string();
  if (!platform::CreateNestedFolders(path + "/")) {
    std::cout << "can not create log folder " << EscapeControls(path) << std::endl;
    return {};
  }
  AddFileAppender(name, file);
  return file;
}

void Error_Tessel(const char* text) {
  WriteErrorSection(text);
}

void Error_MessageBox(const char* text) {
  WriteErrorSection(text);
}

void SetupLogPrefixes() {
  static std::once_flag once;
  std::call_once(once, [] {
    loglib::manager& m = loglib::default_manager();
    loglib::add_modifier(m, "*", loglib::prepend_time("$MM_$dd $hh:$mm:$ss "), kTimeModifierIndex);
    loglib::add_modifier(m, "*", loglib::append_enter(), kAppenderIndex);
    loglib::flush_log_cache();
  });
}

namespace {

// "DEVICE:INODE" as JOURNAL_STREAM writes it; false for anything else.
bool ReadStreamId(const char* text, unsigned long long& device, unsigned long long& inode) {
  const char* const end = text + std::strlen(text);
  const auto first = std::from_chars(text, end, device);
  if (first.ec != std::errc() || first.ptr == end || *first.ptr != ':') return false;
  const auto second = std::from_chars(first.ptr + 1, end, inode);
  return second.ec == std::errc() && second.ptr == end;
}

// Started by systemd with the output going to the journal: every logger writes to the journal
// itself, with its name and level, in place of the console copies the output would duplicate.
// JOURNAL_STREAM names the stream systemd connected; a program started from a shell that
// inherited the variable writes elsewhere, and its output keeps the copies.
bool ToJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (stream == nullptr || !ReadStreamId(stream, device, inode)) return false;
  struct stat out {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == device && out.st_ino == inode;
}

void AddConsoleCopy(const char* name) {
  if (!ToJournal()) AddAppenderCout(name);
}

}  // namespace

void RouteProgramLoggers() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (ToJournal()) {
      std::cout << "append journal *" << std::endl;
      loglib::add_appender(loglib::default_manager(), "*", loglib::write_to_journal(),
                           kAppenderIndex);
    }
    AddAppenderFolder("tessel.info", "tessel.info");
    AddConsoleCopy("tessel.info");
    loglib::add_modifier(loglib::default_manager(), "tessel.info", loglib::prepend_thread_id(),
                         kAppenderIndex);
    AddAppenderFolder("tessel.err", "tessel.err");
    // Size warnings are written to "tessel_numerror"; they go to the same file as the loggers
    // routed under "tessel.numerror", so they are not lost for want of an appender.
    std::string numerror = AddAppenderFolder("tessel.numerror", "tessel.numerror");
    if (!numerror.empty()) AddFileAppender(tessel_numerror().name().c_str(), numerror);
    for (const char* name : {"script.yield", "script.error", "script.timererror", "tessel.script"})
      AddAppenderFolder(name, name);
    AddConsoleCopy("tessel.script");
    AddConsoleCopy("tessel.fetalerror");
    AddAppenderFolder("tessel.fetalerror", "tessel.fetalerror");
    AddAppenderFolder("tessel.timererror", "tessel.timererror");
    LogUnreadableLinesFromNowOn();
  });
}
