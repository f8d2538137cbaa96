#include "platform/line_editor.h"

#include "platform/atomic_file.h"
#include "platform/text_clean.h"

#include <fcntl.h>
#include <histedit.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>

namespace platform {

namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The length of the part of `name` before its first control or broken byte.
size_t PrintablePart(std::string_view name) {
  size_t at = 0;
  while (at < name.size()) {
    const size_t length = PrintableCharAt(name, at);
    if (length == 0) break;
    at += length;
  }
  return at;
}

// libedit converts between the terminal's bytes and wide characters with the thread's locale:
// the editor works in UTF-8 without touching the program's global locale.
class cUtf8Scope {
 public:
  explicit cUtf8Scope(void* locale)
      : m_old(locale != nullptr ? uselocale(static_cast<locale_t>(locale)) : nullptr) {}
  ~cUtf8Scope() {
    if (m_old != nullptr) uselocale(m_old);
  }

 private:
  locale_t m_old;
};

}  // namespace

bool cLineEditor::IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

std::string cLineEditor::StateFile(const std::string& name) {
  // A relative folder would be one under whatever folder the program runs in: none.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/') return std::string(state) + "/tessel/" + name;
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home) + "/.local/state/tessel/" + name;
  return "";
}

std::string cLineEditor::Clean(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == 0x1b) {
      // ESC [ parameters final, ESC O final, or ESC and one character.
      if (i + 1 < line.size() && line[i + 1] == '[') {
        i += 2;
        while (i < line.size() && !(line[i] >= 0x40 && line[i] <= 0x7e)) ++i;
      } else {
        i += (i + 2 < line.size() && line[i + 1] == 'O') ? 2 : 1;
      }
      continue;
    }
    if (c == '\t') {
      out += ' ';
    } else if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    }
  }
  return out;
}

cLineEditor::cLineEditor(const char* program, int inFd, std::FILE* out, std::string historyFile)
    : m_out(out), m_inFd(inFd), m_historyFile(std::move(historyFile)) {
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  m_locale = utf8;
  cUtf8Scope scope(m_locale);
  const int copy = ::dup(inFd);
  m_in = copy >= 0 ? ::fdopen(copy, "r") : nullptr;
  m_el = el_init(program, m_in != nullptr ? m_in : stdin, m_out, stderr);
  el_set(m_el, EL_CLIENTDATA, this);
  el_set(m_el, EL_EDITOR, "emacs");
  el_set(m_el, EL_PROMPT, &cLineEditor::Prompt);
  el_set(m_el, EL_GETCFN, &cLineEditor::GetChar);
  // The wide call keeps the two names as given; the narrow one copies them and never frees
  // the copies.
  el_wset(m_el, EL_ADDFN, L"tessel-complete", L"complete a function name", &cLineEditor::Complete);
  el_set(m_el, EL_BIND, "^I", "tessel-complete", nullptr);
  m_history = history_init();
  HistEvent ev;
  history(m_history, &ev, H_SETSIZE, kHistorySize);
  history(m_history, &ev, H_SETUNIQUE, 1);
  LoadHistory();
  el_set(m_el, EL_HIST, history, m_history);
}

cLineEditor::~cLineEditor() {
  {
    cUtf8Scope scope(m_locale);
    el_end(m_el);
    history_end(m_history);
  }
  if (m_in != nullptr) std::fclose(m_in);
  if (m_locale != nullptr) freelocale(static_cast<locale_t>(m_locale));
}

char* cLineEditor::Prompt(editline* el) {
  cLineEditor* self = nullptr;
  el_get(el, EL_CLIENTDATA, &self);
  return const_cast<char*>(self->m_prompt.c_str());
}

// Reads the terminal byte by byte (a multi-byte character is gathered first) and watches the
// wake-up descriptor: when it is readable the read ends as an end of input, marked as woken.
int cLineEditor::GetChar(editline* el, wchar_t* out) {
  cLineEditor* self = nullptr;
  el_get(el, EL_CLIENTDATA, &self);
  std::mbstate_t state{};
  for (;;) {
    pollfd fds[2] = {{self->m_inFd, POLLIN, 0}, {self->m_wakeFd, POLLIN, 0}};
    if (::poll(fds, self->m_wakeFd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (self->m_wakeFd >= 0 && fds[1].revents != 0) {
      self->m_woken = true;
      return 0;
    }
    char byte;
    const ssize_t n = ::read(self->m_inFd, &byte, 1);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    if (!self->TakeByte(byte)) continue;
    const size_t used = std::mbrtowc(out, &byte, 1, &state);
    if (used == static_cast<size_t>(-2)) continue;
    if (used == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};  // a byte that is no character is dropped
      continue;
    }
    return 1;
  }
}

// A paste of megabytes, or a terminal sending bytes without end, grew the line (four bytes a
// character) until the memory was gone. Past the bound only a line end is let through.
bool cLineEditor::TakeByte(char byte) {
  const bool end = byte == '\n' || byte == '\r';
  if (!end && ++m_lineBytes > m_maxLineBytes) m_overlong = true;
  return end || !m_overlong;
}

unsigned char cLineEditor::Complete(editline* el, int) {
  cLineEditor* self = nullptr;
  el_get(el, EL_CLIENTDATA, &self);
  return self->CompleteWord();
}

// Completes the name in front of the cursor: as far as every candidate agrees, and lists the
// candidates when that adds nothing.
unsigned char cLineEditor::CompleteWord() {
  const LineInfo* info = el_line(m_el);
  const char* start = info->cursor;
  while (start > info->buffer && IsNameChar(start[-1])) --start;
  const std::string prefix(start, info->cursor);
  std::vector<std::string> matches;
  if (m_names)
    for (std::string& name : m_names())
      if (name.compare(0, prefix.size(), prefix) == 0) matches.push_back(std::move(name));
  std::sort(matches.begin(), matches.end());
  matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  if (matches.empty()) return CC_ERROR;
  std::string common = matches.front();
  for (const std::string& m : matches) {
    size_t k = 0;
    while (k < common.size() && k < m.size() && common[k] == m[k]) ++k;
    common.resize(k);
  }
  // The names come from the operator's scripts: the line takes a name up to its first control
  // (nobody could have typed one), and the list shows each with its controls escaped.
  common.resize(std::min(common.size(), PrintablePart(common)));
  if (common.size() > prefix.size()) {
    el_insertstr(m_el, common.c_str() + prefix.size());
    return CC_REFRESH;
  }
  if (matches.size() == 1 && PrintablePart(common) == matches.front().size()) return CC_REFRESH;
  std::fputs("\n", m_out);
  for (const std::string& m : matches) std::fprintf(m_out, "%s  ", EscapeControls(m).c_str());
  std::fputs("\n", m_out);
  return CC_REDISPLAY;
}

cLineEditor::eRead cLineEditor::ReadLine(std::string& line, int wakeFd) {
  cUtf8Scope scope(m_locale);
  m_wakeFd = wakeFd;
  m_woken = false;
  int count = 0;
  const char* got = el_gets(m_el, &count);
  while (m_overlong && !m_woken && got != nullptr && count > 0) {
    std::fprintf(stderr, "console line dropped, longer than %zu MiB\n", m_maxLineBytes >> 20);
    m_overlong = false;
    m_lineBytes = 0;
    got = el_gets(m_el, &count);
  }
  if (m_woken) {
    // The line being typed stays unfinished; the next prompt starts on a line of its own.
    std::fputs("\n", m_out);
    std::fflush(m_out);
    return eRead::kWoken;
  }
  m_overlong = false;
  m_lineBytes = 0;
  if (got == nullptr || count <= 0) return eRead::kEnd;
  line = Clean(std::string_view(got, static_cast<size_t>(count)));
  return eRead::kLine;
}

// A typed line is appended: rewriting the whole file after every line cost a second a line for
// 1000 kept lines of 4 KiB, seconds for an old file of longer ones. The file is written whole
// again after kHistorySize appends, or when an append would pass what a load reads.
void cLineEditor::Remember(const std::string& line) {
  if (line.empty() || line.size() > kHistoryLineBytes) return;
  cUtf8Scope scope(m_locale);
  HistEvent ev;
  // The history keeps no line twice in a row: the file neither.
  if (history(m_history, &ev, H_FIRST) == 0 && line == ev.str) return;
  history(m_history, &ev, H_ENTER, line.c_str());
  if (m_appended < kHistorySize && AppendHistory(line)) {
    ++m_appended;
    return;
  }
  m_appended = 0;
  SaveHistory();
}

bool cLineEditor::AppendHistory(const std::string& line) {
  if (m_historyFile.empty()) return false;
  std::string text;
  if (!LineText(line, text)) return false;
  const int fd = OpenHistory(O_WRONLY | O_APPEND, true);
  struct stat st {};
  bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0 &&
            st.st_size + static_cast<long>(text.size()) <= kHistoryBytes &&
            ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
  if (ok && ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    // A part of the line (a full disk) goes: the next line must not continue it.
    [[maybe_unused]] const int cut = ::ftruncate(fd, st.st_size);
    ok = false;
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

int cLineEditor::OpenHistory(int flags, bool missingIsFine) {
  const int fd =
      ::open(m_historyFile.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  struct stat st {};
  const char* why = nullptr;
  if (fd < 0) {
    if (errno == ENOENT && missingIsFine) return -1;
    why = errno == ELOOP || errno == ENXIO ? "it is no regular file" : std::strerror(errno);
  } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "it is no regular file";
  } else if (st.st_size > kHistoryBytes) {
    why = "it holds more than 32 MiB";
  }
  if (why == nullptr) return fd;
  if (fd >= 0) ::close(fd);
  std::fprintf(m_out, "history file %s not used: %s\n", m_historyFile.c_str(), why);
  std::fflush(m_out);
  m_historyFile.clear();
  return -1;
}

// Read through the descriptor checked: a pipe there held the start until a writer came, a link
// was followed, and a huge file was read whole.
void cLineEditor::LoadHistory() {
  if (m_historyFile.empty()) return;
  const int fd = OpenHistory(O_RDONLY, true);
  if (fd < 0) return;
  struct history* loaded = history_init();
  HistEvent ev;
  history(loaded, &ev, H_SETSIZE, kHistorySize);
  history(loaded, &ev, H_LOAD, ("/proc/self/fd/" + std::to_string(fd)).c_str());
  ::close(fd);
  // A line longer than the editor keeps (an old or hand-made file) is left out, and the file is
  // written whole at the first line typed: else such lines were written back, megabytes of them,
  // with every line typed.
  for (int at = history(loaded, &ev, H_LAST); at == 0; at = history(loaded, &ev, H_PREV)) {
    if (std::strlen(ev.str) <= kHistoryLineBytes)
      history(m_history, &ev, H_ENTER, ev.str);
    else
      m_appended = kHistorySize;
  }
  history_end(loaded);
}

// libedit writes its lines to a file of its own only (it sets that file's mode): an unnamed one,
// read back.
bool cLineEditor::HistoryText(struct history* from, std::string& text) {
  std::FILE* lines = std::tmpfile();
  if (lines == nullptr) return false;
  HistEvent ev;
  bool ok = history(from, &ev, H_SAVE_FP, lines) >= 0 && std::fflush(lines) == 0;
  std::rewind(lines);
  char chunk[4096];
  for (size_t n; ok && (n = std::fread(chunk, 1, sizeof chunk, lines)) > 0;) text.append(chunk, n);
  ok = ok && !std::ferror(lines);
  std::fclose(lines);
  return ok;
}

// One line as the file holds it: the whole text of a history of that line alone, but its first
// line (the file's mark).
bool cLineEditor::LineText(const std::string& line, std::string& text) {
  struct history* one = history_init();
  HistEvent ev;
  history(one, &ev, H_SETSIZE, 1);
  history(one, &ev, H_ENTER, line.c_str());
  bool ok = HistoryText(one, text);
  history_end(one);
  const size_t mark = text.find('\n');
  ok = ok && mark != std::string::npos && mark + 1 < text.size() && text.back() == '\n';
  if (ok) text.erase(0, mark + 1);
  return ok;
}

// The lines replace the file whole: a full disk leaves the history as it was (written in place,
// it was cut to nothing first). The file is made owner-only before a line goes in.
void cLineEditor::SaveHistory() {
  if (m_historyFile.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(m_historyFile).parent_path(), ec);
  const int fd = OpenHistory(O_WRONLY | O_CREAT, false);
  if (fd < 0) return;
  bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
  ::close(fd);
  std::string text;
  ok = ok && HistoryText(m_history, text);
  ok = ok && WriteFileAtomically(m_historyFile, text);
  if (ok || m_saveFailSaid) return;
  m_saveFailSaid = true;
  std::fprintf(m_out, "history file %s not written: %s\n", m_historyFile.c_str(),
               std::strerror(errno));
  std::fflush(m_out);
}

}  // namespace platform
