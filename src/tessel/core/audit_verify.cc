#include "tessel/core/audit_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "tessel/core/audit_chain.h"
#include "tessel/core/audit_line.h"
#include "tessel/core/audit_lock.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kChainMark = "\tchain=";
constexpr std::string_view kMacMark = "\tmac=";
// Far longer than any line the writer makes: a longer line is not one of its lines, and is not
// kept whole (a trail's folder may be written by anyone who may run a shell).
constexpr size_t kMaxLineBytes = 64 * 1024;
constexpr size_t kReadBytes = 64 * 1024;
// Runs that ended in a crash told one by one; the rest are counted.
constexpr size_t kMostNotes = 100;
constexpr const char* kLinkFault = "it is a symbolic link, and the trail's files are never links";

// A file's name as a verdict shows it: one line, whatever bytes the name holds.
std::string NameOf(const fs::path& path) {
  std::string name = path.filename().string();
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return name;
}

struct stLine {
  std::string file;
  size_t number = 0;
  std::string text;  // without its line end
  bool whole = true;
  // Parsed; `parsed` false when the line does not have the trail's shape.
  bool parsed = false;
  size_t bodySize = 0;  // the text before its chain value
  tAuditDigest chain{};
  tAuditDigest mac{};
  uint64_t seq = 0;

  std::string_view Body() const { return std::string_view(text).substr(0, bodySize); }
};

// Where a line is, for a verdict: its file, its number and its sequence number.
struct stPlace {
  std::string file;
  size_t number = 0;
  uint64_t seq = 0;
};

stPlace PlaceOf(const stLine& line) {
  return {line.file, line.number, line.seq};
}

std::string Where(const stPlace& place) {
  return place.file + " line " + std::to_string(place.number) + " (seq " +
         std::to_string(place.seq) + ")";
}

std::string Where(const stLine& line) {
  return Where(PlaceOf(line));
}

bool Parse(stLine& line, bool overlong) {
  const std::string_view text = line.text;
  const size_t chainAt = text.rfind(kChainMark);
  const size_t macAt = text.rfind(kMacMark);
  if (overlong || chainAt == std::string_view::npos || macAt == std::string_view::npos ||
      macAt < chainAt)
    return false;
  line.bodySize = chainAt;
  const std::string_view body = line.Body();
  const std::string_view chain =
      text.substr(chainAt + kChainMark.size(), macAt - chainAt - kChainMark.size());
  const std::string_view mac = text.substr(macAt + kMacMark.size());
  const std::string_view seq =
      body.substr(0, 4) == "seq=" ? AuditField(body, "seq") : std::string_view();
  if (seq.empty() || !std::all_of(seq.begin(), seq.end(), ::isdigit) || seq.size() > 19)
    return false;
  line.seq = std::stoull(std::string(seq));
  return AuditFromHex(chain, &line.chain) && AuditFromHex(mac, &line.mac);
}

// The lines of a folder's trail files, oldest file first, read one at a time, so that a trail
// of any size is checked in little memory.
class cTrailLines {
 public:
  bool Open(const std::string& folder, size_t* files, std::string* error) {
    std::error_code ec;
    std::vector<fs::path> links;
    // Nothing found in the folder throws: a name whose kind cannot be told (one into a folder
    // that cannot be entered) is no trail file.
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code kind;
      if (it->path().extension() != ".audit") continue;
      if (it->is_symlink(kind))
        links.push_back(it->path());
      else if (it->is_regular_file(kind))
        m_paths.push_back(it->path());
    }
    // The writer never makes a link, nor writes through one: a link at a day's name was put
    // there, and what it leads to (a file outside the folder) is no file of the trail. It was
    // followed, and its lines checked as the day's.
    if (!links.empty()) {
      *error = NameOf(*std::min_element(links.begin(), links.end())) + ": " + kLinkFault;
      return false;
    }
    if (ec || m_paths.empty()) {
      *error = folder + ": no audit trail files (*.audit)";
      return false;
    }
    std::sort(m_paths.begin(), m_paths.end());
    *files = m_paths.size();
    return true;
  }

  ~cTrailLines() { Close(); }

  // The next line into `line`; false after the last, or at a file that cannot be read.
  bool Read(stLine& line) {
    for (;;) {
      if (!m_error.empty() || (m_fd < 0 && !OpenNext())) return false;
      bool overlong = false;
      if (TakeLine(line.text, line.whole, overlong)) {
        line.file = m_name;
        line.number = ++m_number;
        line.parsed = Parse(line, overlong);
        return true;
      }
      Close();
    }
  }
  // Why the lines stopped early (a file that cannot be read), or empty.
  const std::string& Error() const { return m_error; }

 private:
  // Opens the next file. It was a regular file when the folder was listed; a name swapped for
  // a FIFO, a device or a link since is opened without waiting (or following) and then refused.
  // Of a file, the bytes its size names when it is opened are read, no more: one written on
  // without end still ends.
  bool OpenNext() {
    if (m_next >= m_paths.size()) return false;
    m_name = NameOf(m_paths[m_next]);
    m_fd = ::open(m_paths[m_next++].c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const bool linked = m_fd < 0 && errno == ELOOP;
    m_number = 0;
    m_at = m_have = 0;
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
      m_error = m_name + ": " + (linked ? kLinkFault : "cannot be read");
    m_left = static_cast<uint64_t>(std::max<off_t>(0, st.st_size));
    return m_error.empty();
  }

  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

  // Bytes up to the next line end (the end not kept), at most kMaxLineBytes of them; false when
  // the file has none left.
  bool TakeLine(std::string& text, bool& whole, bool& overlong) {
    text.clear();
    bool any = false;
    for (;;) {
      if (m_at == m_have && !Fill()) {
        whole = false;
        return any;
      }
      any = true;
      const char* from = m_buffer.data() + m_at;
      const char* end = static_cast<const char*>(std::memchr(from, '\n', m_have - m_at));
      const size_t n = end ? static_cast<size_t>(end - from) : m_have - m_at;
      const size_t keep = std::min(n, kMaxLineBytes - std::min(kMaxLineBytes, text.size()));
      overlong = overlong || keep < n;
      text.append(from, keep);
      m_at += n + (end ? 1 : 0);
      if (overlong) return SkipRest(whole);
      if (end) {
        whole = true;
        return true;
      }
    }
  }

  // A line past the bound is no line of the trail, and the check fails at it however it ends:
  // the rest of its file is left unread (a sparse file of a terabyte without a line end was read
  // through for hours). The line counts as whole, so that it is told as changed.
  bool SkipRest(bool& whole) {
    m_left = 0;
    m_at = m_have;
    whole = true;
    return true;
  }

  bool Fill() {
    m_buffer.resize(kReadBytes);
    ssize_t n = 0;
    do {
      n = ::read(m_fd, m_buffer.data(), std::min<uint64_t>(m_buffer.size(), m_left));
    } while (n < 0 && errno == EINTR);
    m_at = 0;
    m_have = n > 0 ? static_cast<size_t>(n) : 0;
    m_left -= m_have;
    if (n < 0) m_error = m_name + ": cannot be read";
    return m_have > 0 && m_error.empty();
  }

  std::vector<fs::path> m_paths;
  size_t m_next = 0;
  int m_fd = -1;
  uint64_t m_left = 0;  // bytes of the open file still to be read
  std::string m_name;
  size_t m_number = 0;
  std::vector<char> m_buffer;
  size_t m_at = 0, m_have = 0;
  std::string m_error;
};

class cVerifier {
 public:
  // `holder`: the writer that held the folder's lock before the files were read.
  cVerifier(cTrailLines& lines, const std::vector<std::string>& keys, const std::string& holder)
      : m_lines(lines), m_keys(keys), m_holder(holder) {}

  // The first fault, or empty; `count` the lines read; `live` when the last run is still being
  // written (its last line may then be the one the writer is putting in the file).
  std::string Run(const std::string& folder, uint64_t* count, std::string* notes, bool* live) {
    if (!m_lines.Read(m_line)) {
      if (!m_lines.Error().empty()) return m_lines.Error();
      return folder + ": the audit trail files hold no line";
    }
    m_checkpoint = PlaceOf(m_line);
    m_hasNext = m_lines.Read(m_next);
    for (*count = 1;; ++*count) {
      if (!m_hasNext && !m_line.whole && m_lines.Error().empty() && WriterAlive(folder)) {
        --*count;
        *live = true;
        break;
      }
      const std::string fault = Check(notes);
      if (!fault.empty()) return fault;
      if (!m_hasNext) break;
      std::swap(m_line, m_next);
      m_hasNext = m_lines.Read(m_next);
    }
    if (m_crashes > kMostNotes)
      *notes += std::to_string(m_crashes - kMostNotes) + " more runs ended in a crash\n";
    if (!m_lines.Error().empty()) return m_lines.Error();
    if (*live) return {};
    if (AuditField(m_line.Body(), "kind") != "close" && !(*live = WriterAlive(folder)))
      return "the trail stops without a closing line: cut after its last checkpoint, " +
             Where(m_checkpoint);
    return {};
  }

 private:
  const stLine* Next() const { return m_hasNext && m_next.parsed ? &m_next : nullptr; }

  std::string Check(std::string* notes) {
    const stLine& line = m_line;
    const std::string where = line.file + " line " + std::to_string(line.number);
    if (!line.whole) return where + ": partial last line (the file was cut inside a line)";
    if (!line.parsed) return where + ": changed (not a line of the trail's form)";
    const uint64_t expected = m_seq + 1;
    const stLine* next = Next();
    if (line.seq > expected) {
      if (next != nullptr && next->seq == expected)
        return Where(line) + ": reordered (seq " + std::to_string(expected) + " follows it)";
      if (next == nullptr || next->seq == line.seq + 1)
        return Where(line) + ": " + std::to_string(line.seq - expected) +
               " line(s) removed before it (gap in the sequence after seq " +
               std::to_string(m_seq) + ")";
      return Where(line) + ": changed (its sequence number does not follow)";
    }
    if (line.seq < expected)
      return Where(line) + ": reordered or inserted (seq " + std::to_string(expected) +
             " was expected)";
    if (AuditChainNext(m_chain, line.Body()) != line.chain) {
      if (next != nullptr && AuditChainNext(m_chain, next->Body()) == next->chain)
        return Where(line) + ": inserted (the chain runs on without it)";
      return Where(line) + ": changed (its chain value does not match)";
    }
    if (!m_keys.empty() && !Signed(line))
      return Where(line) + ": MAC does not match the key (the line was signed without it)";
    const std::string fault = CheckRun(notes);
    if (!fault.empty()) return fault;
    m_seq = line.seq;
    m_chain = line.chain;
    m_before = PlaceOf(line);
    m_beforeClosed = AuditField(line.Body(), "kind") == "close";
    return {};
  }

  // Whether the last run's writer holds the folder's lock, or held it when the check began (its
  // closing line, written since, is past the end of what was read).
  bool WriterAlive(const std::string& folder) const {
    return !m_pid.empty() && (m_holder == m_pid || AuditWriterHolder(folder) == m_pid);
  }

  // Whether the line's MAC matches the key of its run. A run's open line may take a later key
  // (the key file was made new between the runs); an earlier key is never taken up again.
  bool Signed(const stLine& line) {
    if (AuditMac(m_keys[m_keyAt], line.chain) == line.mac) return true;
    if (AuditField(line.Body(), "kind") != "open") return false;
    for (size_t at = m_keyAt + 1; at < m_keys.size(); ++at)
      if (AuditMac(m_keys[at], line.chain) == line.mac) {
        m_keyAt = at;
        return true;
      }
    return false;
  }

  // Every run of the process ends with a closing line, or with a crash that the next start
  // found a report of.
  std::string CheckRun(std::string* notes) {
    const std::string_view kind = AuditField(m_line.Body(), "kind");
    const stPlace checkpoint = m_checkpoint;
    if (kind == "checkpoint" || kind == "open") m_checkpoint = PlaceOf(m_line);
    if (kind == "open") m_pid = AuditField(m_line.Body(), "pid");
    if (kind != "open" || m_before.number == 0 || m_beforeClosed) return {};
    if (AuditField(m_line.Body(), "prior") == "crash") {
      if (++m_crashes <= kMostNotes)
        *notes += "the run ending at " + Where(m_before) + " ended in a crash (see its report)\n";
      return {};
    }
    return "the run before " + Where(m_line) +
           " stops without a closing line: cut after its last checkpoint, " + Where(checkpoint);
  }

  cTrailLines& m_lines;
  const std::vector<std::string>& m_keys;
  size_t m_keyAt = 0;  // the key of the run being checked
  const std::string m_holder;
  stLine m_line, m_next;
  bool m_hasNext = false;
  uint64_t m_seq = 0;
  tAuditDigest m_chain = kAuditGenesis;
  stPlace m_checkpoint;  // the last checkpoint or open line passed, else the first line
  stPlace m_before;      // the line checked before this one; number 0 before the first
  bool m_beforeClosed = false;
  uint64_t m_crashes = 0;  // runs that ended in a crash
  std::string m_pid;       // the process of the last run, from its open line
};

}  // namespace

stAuditVerdict VerifyAuditTrail(const std::string& folder, const std::string& key) {
  return VerifyAuditTrail(folder, key.empty() ? std::vector<std::string>() : std::vector{key});
}

stAuditVerdict VerifyAuditTrail(const std::string& folder, const std::vector<std::string>& keys) {
  stAuditVerdict verdict;
  const std::string holder = AuditWriterHolder(folder);
  cTrailLines lines;
  if (!lines.Open(folder, &verdict.files, &verdict.reason)) return verdict;
  verdict.reason =
      cVerifier(lines, keys, holder).Run(folder, &verdict.lines, &verdict.notes, &verdict.live);
  verdict.holds = verdict.reason.empty();
  return verdict;
}
