#include "tessel/core/audit_trail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <vector>

#include "platform/descriptors.h"
#include "platform/stdout_line.h"
#include "tessel/core/audit_lock.h"
#include "tessel/core/log_routing.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSuffix = ".audit";
constexpr int kPollMs = 20;
// Lines go to the file in batches of about this size, one system call each: small, so that a
// fault loses few lines that left the queue (which the crash report shows) but not the batch.
constexpr size_t kBatchBytes = 16 * 1024;
// Enough for the longest line the writer makes.
constexpr size_t kTailBytes = 8192;

std::string DayOf(int64_t timeUs) {
  const time_t secs = static_cast<time_t>(timeUs / 1000000);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

constexpr int64_t kDayUs = int64_t{86400} * 1000000;

// Whether a file's stem is a day as DayOf writes it ("2026-12-07").
bool IsDayName(const std::string& stem) {
  if (stem.size() != 10) return false;
  for (size_t i = 0; i < stem.size(); ++i)
    if (i == 4 || i == 7 ? stem[i] != '-' : !std::isdigit(static_cast<unsigned char>(stem[i])))
      return false;
  return true;
}

// The first microsecond of the UTC day of `timeUs`.
int64_t DayStartUs(int64_t timeUs) {
  const int64_t into = timeUs % kDayUs;
  return timeUs - (into < 0 ? into + kDayUs : into);
}

// The trail's files in the order they were written (their names are days).
std::vector<fs::path> TrailFiles(const std::string& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file() && entry.path().extension() == kSuffix)
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// The last whole line of a file and whether the file ends with a line end. Only a regular file
// is read, at most its last kTailBytes: a pipe or a device in its place is never waited on, and
// a file of /proc, which tells no size, reads as empty. Nor is a symbolic link at its name
// followed (it may lead outside the folder, to a forged chain): it reads as empty, and *linked
// says so.
std::string LastLine(const fs::path& file, bool* whole, bool* linked) {
  *whole = true;
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  *linked = fd < 0 && errno == ELOOP;
  if (fd < 0) return {};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    ::close(fd);
    return {};
  }
  const off_t from = std::max<off_t>(0, st.st_size - static_cast<off_t>(kTailBytes));
  std::string tail(static_cast<size_t>(st.st_size - from), '\0');
  const ssize_t n = ::pread(fd, tail.data(), tail.size(), from);
  ::close(fd);
  tail.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (tail.empty()) return {};
  *whole = tail.back() == '\n';
  const size_t end = tail.rfind('\n');
  if (end == std::string::npos) return {};
  const size_t start = tail.rfind('\n', end == 0 ? 0 : end - 1);
  return tail.substr(start == std::string::npos || end == 0 ? 0 : start + 1,
                     end - (start == std::string::npos || end == 0 ? 0 : start + 1));
}

// When the newest regular file of the trail was last written, in microseconds; -1 for none. A
// symbolic link (a name that may lead anywhere, to a file of any age) or a pipe among the files
// tells nothing of when the trail was written: it is passed over, never followed or waited on.
int64_t NewestWriteUs(const std::vector<fs::path>& files) {
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    const int fd = ::open(file->c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (regular) return int64_t{st.st_mtim.tv_sec} * 1000000 + st.st_mtim.tv_nsec / 1000;
  }
  return -1;
}

// Whether the crash report was written after the line was made. The writer may put the lines
// queued before a fault into the file while the report is written, or just after it, so that
// the file can be newer than the report of the crash that ended its run.
bool ReportAfterLine(const std::string& report, std::string_view line) {
  struct stat st {};
  if (report.empty() || ::stat(report.c_str(), &st) != 0) return false;
  const std::string_view time = AuditField(line, "time");
  return !time.empty() &&
         AuditTime(int64_t{st.st_mtim.tv_sec} * 1000000 + st.st_mtim.tv_nsec / 1000) >= time;
}

// A line on the console from the writer thread.
void Say(const std::string& text) {
  platform::PrintLine("cAuditTrail: " + text);
}

// LastLine, saying on the console when a symbolic link stands at the file's name.
std::string LastLineSaid(const fs::path& file, bool* whole) {
  bool linked = false;
  std::string last = LastLine(file, whole, &linked);
  if (linked)
    Say("cannot read " + file.filename().string() + ": it " +
        platform::ForeignFileWords(platform::eForeignFile::kSymlink) +
        "; the chain does not go on from it");
  return last;
}

}  // namespace

cAuditTrail& cAuditTrail::Instance() {
  static cAuditTrail s_trail;
  return s_trail;
}

cAuditTrail::~cAuditTrail() {
  Close();
}

int64_t cAuditTrail::NowUs() const {
  if (m_options.clockUs) return m_options.clockUs();
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t cAuditTrail::SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t cAuditTrail::Ticks() {
#if defined(__x86_64__)
  return static_cast<int64_t>(__builtin_ia32_rdtsc());
#else
  return SteadyUs();
#endif
}

// The ticks' rate over everything since the open, and where the ticks stand against the
// calendar clock: taken once per batch of events (the first lines wait for a millisecond).
void cAuditTrail::TakeTickAnchor() {
  int64_t spanUs = SteadyUs() - m_openSteadyUs;
  while (spanUs < 1000) spanUs = SteadyUs() - m_openSteadyUs;
  m_anchorTicks = Ticks();
  m_anchorUs = NowUs();
  m_ticksPerUs = static_cast<double>(m_anchorTicks - m_openTicks) / static_cast<double>(spanUs);
}

void cAuditTrail::ToMicros(stAuditEvent& event, bool& anchored) {
  if (!event.inTicks) return;
  event.inTicks = false;
  if (!anchored) TakeTickAnchor();
  anchored = true;
  const double perUs = m_ticksPerUs;
  const auto micros = [perUs](int64_t count) {
    return perUs > 0 ? static_cast<int64_t>(static_cast<double>(count) / perUs) : count;
  };
  event.durationUs = static_cast<uint64_t>(micros(static_cast<int64_t>(event.durationUs)));
  event.timeUs = m_anchorUs - micros(m_anchorTicks - event.timeUs);
}

bool cAuditTrail::Open(const stOptions& options) {
  if (IsOpen()) return true;
  m_options = options;
  // The trail stays where it was opened whatever folder the process works in later.
  std::error_code absolute;
  m_options.folder = fs::absolute(options.folder, absolute).string();
  m_base = fs::path(options.folder).is_relative()
               ? fs::current_path(absolute).string()
               : fs::path(m_options.folder).parent_path().string();
  m_openTicks = Ticks();
  m_openSteadyUs = SteadyUs();
  std::error_code ec;
  fs::create_directories(m_options.folder, ec);
  // Both go to the console in red and to tessel.err: a process running without its trail, or
  // with a key others could read, is something the operator must see.
  std::string error, warning;
  if (!fs::is_directory(m_options.folder) ||
      !LoadOrMakeAuditKey(m_options.keyFile, &m_key, &error, &warning)) {
    const std::string why = error.empty() ? "cannot make the folder " + m_options.folder : error;
    Error_Tessel(("cAuditTrail::Open " + why + "; no audit trail is written").c_str());
    return false;
  }
  if (!warning.empty()) Error_Tessel(("cAuditTrail::Open " + warning).c_str());
  // Held while the trail is written, so that a check tells this run from one that was cut; a
  // second writer would mix its lines into the chain of the first. Without a lock file the
  // trail is written all the same (a check then takes this run for a cut one while it runs).
  std::string held;
  m_lockFd = TakeAuditWriterLock(m_options.folder, m_options.lockWaitMs, &held);
  if (!held.empty()) {
    Error_Tessel(("cAuditTrail::Open " + held + "; no audit trail is written").c_str());
    return false;
  }
  const std::string prior = Resume();
  m_ring = std::make_unique<cAuditRing>(m_options.slots);
  m_peeked = 0;
  m_bWriteFailing = false;
  m_dropped = 0;
  m_droppedTotal = 0;
  m_bStop = false;
  WriteLine(FormatAuditMark(NowUs(), "open",
                            "process=" + AuditValue(m_options.process) +
                                "\tpid=" + std::to_string(::getpid()) + "\tprior=" + prior));
  FlushLines();
  m_writer = std::thread([this] { Writer(); });
  m_bOpen.store(true, std::memory_order_release);
  return true;
}

// Takes up the sequence number and chain value of the last line written, and tells how the run
// before ended: first, closed, crash (a crash report newer than the trail) or cut.
std::string cAuditTrail::Resume() {
  m_seq = 0;
  m_chain = kAuditGenesis;
  const std::vector<fs::path> files = TrailFiles(m_options.folder);
  m_newestDay.clear();
  for (const fs::path& file : files)
    if (IsDayName(file.stem().string())) m_newestDay = file.stem().string();
  if (files.empty()) return "first";
  bool whole = true;
  std::string last = LastLineSaid(files.back(), &whole);
  if (!whole) {
    // A line cut by a power loss stays as it is; the next line starts on a line of its own. A
    // symbolic link at the newest day's name is not followed: it may lead outside the folder.
    const int fd =
        ::open(files.back().c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      platform::WriteAll(fd, "\n");
      ::close(fd);
    }
  }
  // A start stopped right after it made a new day's file left that file without a line: the
  // chain goes on from the newest line of the days before.
  for (size_t at = files.size() - 1; last.empty() && at-- > 0;)
    last = LastLineSaid(files[at], &whole);
  if (last.empty()) return "first";
  m_seq = std::strtoull(std::string(AuditField(last, "seq")).c_str(), nullptr, 10);
  AuditFromHex(AuditField(last, "chain"), &m_chain);
  if (AuditField(last, "kind") == "close") return "closed";
  struct stat report {};
  if (m_options.crashReport.empty() || ::stat(m_options.crashReport.c_str(), &report) != 0)
    return "cut";
  const int64_t reportUs = int64_t{report.st_mtim.tv_sec} * 1000000 + report.st_mtim.tv_nsec / 1000;
  const int64_t trailUs = NewestWriteUs(files);
  return (trailUs >= 0 && reportUs >= trailUs) || ReportAfterLine(m_options.crashReport, last)
             ? "crash"
             : "cut";
}

void cAuditTrail::Close() {
  if (!IsOpen()) return;
  m_bOpen.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> hold(m_wakeLock);
    m_bStop = true;
  }
  m_wake.notify_one();
  if (m_writer.joinable()) m_writer.join();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_day.clear();
  if (m_lockFd >= 0) ::close(m_lockFd);
  m_lockFd = -1;
}

void cAuditTrail::Record(const stAuditEvent& event) {
  if (!IsOpen()) return;
  // Packed straight into the queue's slot.
  const auto pack = [](const void* arg, char* text, size_t cap, size_t* size) {
    *size = PackAuditEvent(*static_cast<const stAuditEvent*>(arg), text, cap);
    return *size > 0;
  };
  uint64_t pushed = 0;
  if (!m_ring->Push(pack, &event, &pushed)) return Skip();
  // The writer comes round by itself soon; only a queue filling up while it sleeps wakes it
  // (looked at now and then: the writer's counter is on another core's cache line).
  constexpr uint64_t kLookEvery = 16;
  if (pushed % kLookEvery == 0 && m_ring->Queued() * 2 >= m_ring->Capacity() &&
      m_bSleeping.exchange(false)) {
    std::lock_guard<std::mutex> hold(m_wakeLock);
    m_wake.notify_one();
  }
}

void cAuditTrail::Skip() {
  if (!IsOpen()) return;
  m_dropped.fetch_add(1, std::memory_order_relaxed);
  m_droppedTotal.fetch_add(1, std::memory_order_relaxed);
}

size_t cAuditTrail::ReadQueued(void (*each)(const char*, size_t, void*), void* arg) const {
  if (!IsOpen()) return 0;
  return m_ring->ReadQueued(each, arg);
}

void cAuditTrail::Writer() {
  auto nextCheckpoint =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.checkpointMs);
  std::string packed;
  for (;;) {
    bool stop = false;
    {
      std::unique_lock<std::mutex> hold(m_wakeLock);
      m_bSleeping = true;
      m_wake.wait_until(hold,
                        std::min(nextCheckpoint, std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(kPollMs)),
                        [this] { return m_bStop || !m_bSleeping; });
      m_bSleeping = false;
      stop = m_bStop;
    }
    stAuditEvent event;
    bool anchored = false;
    // A line stays queued until the batch holding it is written, so that a crash report shows
    // what the file does not have yet; it counts as taken only once it is in the batch, so a
    // flush while it is made (for a new day's file) leaves it queued.
    for (; m_ring->Peek(m_peeked, packed); ++m_peeked) {
      if (!UnpackAuditEvent(packed, &event)) continue;
      ToMicros(event, anchored);
      m_body.clear();
      AppendAuditCmd(m_body, event);
      WriteLine(m_body);
    }
    if (const uint64_t dropped = m_dropped.exchange(0))
      WriteLine(FormatAuditMark(NowUs(), "dropped", "count=" + std::to_string(dropped)));
    FlushLines();
    if (stop) break;
    if (std::chrono::steady_clock::now() >= nextCheckpoint) {
      WriteLine(FormatAuditMark(NowUs(), "checkpoint", ""));
      FlushLines();
      if (m_fd >= 0) ::fdatasync(m_fd);
      nextCheckpoint += std::chrono::milliseconds(m_options.checkpointMs);
    }
  }
  WriteLine(FormatAuditMark(NowUs(), "close", "dropped=" + std::to_string(m_droppedTotal.load())));
  FlushLines();
  if (m_fd >= 0) ::fdatasync(m_fd);
}

// Numbers, chains and signs the line and appends it to the file of the present day.
void cAuditTrail::WriteLine(std::string_view body) {
  const int64_t now = NowUs();
  if (!OpenDayFile(now)) return;
  m_line.assign("seq=");
  char digits[24];
  m_line.append(digits, std::to_chars(digits, digits + sizeof digits, m_seq + 1).ptr);
  m_line += '\t';
  m_line += body;
  const tAuditDigest chain = AuditChainNext(m_chain, m_line);
  m_batch += m_line;
  m_batch += "\tchain=";
  AppendAuditHex(m_batch, chain);
  m_batch += "\tmac=";
  AppendAuditHex(m_batch, AuditMac(m_key, chain));
  m_batch += '\n';
  ++m_seq;
  m_chain = chain;
  if (m_batch.size() >= kBatchBytes) FlushLines();
}

// A batch that cannot be written (a full disk) is lost whole: what part of it went in is taken
// back, so that the lines after it keep the chain and a check of the trail names the lines that
// are missing. The console is told once when writing fails and once when it works again.
void cAuditTrail::FlushLines() {
  if (!m_batch.empty() && m_fd >= 0 && ReopenIfRemoved()) {
    const off_t before = ::lseek(m_fd, 0, SEEK_END);
    const bool written = platform::WriteAll(m_fd, m_batch);
    const int error = errno;
    // Should taking back fail too, the partial line stays, and the next start ends it.
    if (!written && before >= 0 && ::ftruncate(m_fd, before) != 0) errno = 0;
    TellWriting(m_day, written, std::strerror(error));
  }
  m_batch.clear();
  if (m_ring) m_ring->Release(m_peeked);
}

void cAuditTrail::TellWriting(const std::string& day, bool works, const std::string& why) {
  if (works != m_bWriteFailing) return;
  m_bWriteFailing = !works;
  Say(works ? "writes to " + day + kSuffix + " again"
            : "cannot write " + day + kSuffix + ": " + why + "; its lines are lost until it can");
}

// A file removed while it is written would take every later line with it: its lines go on in a
// new file of its name (whose first line then shows the removed ones missing). False when the
// file is gone and no new one could be made (the console was told; the lines are lost).
bool cAuditTrail::ReopenIfRemoved() {
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || st.st_nlink != 0) return true;
  if (!m_bWriteFailing)
    Say(m_day + kSuffix + " was removed; its lines go on in a new file of that name");
  const int fd = OpenFile(m_day);
  if (fd < 0) return false;
  ::close(m_fd);
  m_fd = fd;
  return true;
}

// The day's file, made with its folders when they are gone (log/ or log/audit/ removed to make
// room: the lines were lost until someone made them again), but not the folder the trail was
// opened from (a process whose home was removed makes none again); -1 when it cannot be (the
// console is told).
// Only a regular file takes the lines: a pipe in its place is not waited on, and a device (a
// link to /dev/null) would swallow them without a word. Nor does a file a symbolic link leads to
// (or would make): it may lie outside the folder, and take the lines there. A file with other
// names is written as before: a snapshot of the folder by hard links must not stop the trail.
int cAuditTrail::OpenFile(const std::string& day) {
  const std::string path = (fs::path(m_options.folder) / (day + kSuffix)).string();
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  const platform::eForeignFile foreign = platform::ForeignFileAt(path);
  if (foreign == platform::eForeignFile::kSymlink) {
    TellWriting(day, false, std::string("it ") + platform::ForeignFileWords(foreign));
    return -1;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    TellWriting(day, false, "it is no regular file");
    return -1;
  }
  int fd = ::open(path.c_str(), kFlags, 0600);
  if (fd < 0 && errno == ENOENT) {
    std::error_code ec;
    if (fs::is_directory(m_base, ec)) fs::create_directories(m_options.folder, ec);
    fd = ::open(path.c_str(), kFlags, 0600);
  }
  if (fd < 0) {
    TellWriting(day, false, std::strerror(errno));
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    TellWriting(day, false, "it is no regular file");
    return -1;
  }
  return fd;
}

// A clock set back (Time(), a time service) keeps the newest day's file: the files are read in
// the order of their names, so a line in an earlier day's file would break the chain there.
bool cAuditTrail::OpenDayFile(int64_t timeUs) {
  if (m_fd >= 0 && timeUs < m_dayFromUs + kDayUs) return true;
  std::string day = DayOf(timeUs);
  if (day < m_newestDay) day = m_newestDay;
  // The bounds follow the file open: a new day's file that cannot be opened is tried again at
  // the next line, and no line of that day goes into the day before's file.
  if (m_fd >= 0 && day == m_day) {
    m_dayFromUs = DayStartUs(timeUs);
    return true;
  }
  FlushLines();
  const int fd = OpenFile(day);
  if (fd < 0) return false;
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
  m_day = m_newestDay = day;
  m_dayFromUs = DayStartUs(timeUs);
  return true;
}
