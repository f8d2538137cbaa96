// Line editing for a console on a terminal (libedit): a prompt, the usual editing keys, a
// history kept in a file between runs and Tab completion from names the owner supplies. Escape
// sequences and other control bytes never reach the returned line. One thread reads with it:
// the thread that made it (the locale it sets for the terminal is that thread's own).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct editline;
struct history;

namespace platform {

class cLineEditor {
 public:
  // The names Tab completes from, asked for at each Tab (on the reading thread).
  using NamesFunc = std::function<std::vector<std::string>()>;
  enum class eRead { kLine, kEnd, kWoken };

  // Edits lines typed on the terminal `inFd`, echoing to `out`; the history is read from and
  // written to `historyFile` (no history when it is empty; its folder is made when missing).
  // A history file that is no regular file of its own (a link, a pipe, a device) or holds more
  // than kHistoryBytes is neither read nor written, and `out` says so.
  cLineEditor(const char* program, int inFd, std::FILE* out, std::string historyFile);
  ~cLineEditor();
  cLineEditor(const cLineEditor&) = delete;
  cLineEditor& operator=(const cLineEditor&) = delete;

  // True when `fd` is a terminal (a line editor makes sense there only).
  static bool IsTerminal(int fd);
  // The history file `name` under $XDG_STATE_HOME/tessel/, else ~/.local/state/tessel/; ""
  // when neither variable holds an absolute path.
  static std::string StateFile(const std::string& name);
  // The line without escape sequences and control bytes (a tab becomes a blank).
  static std::string Clean(std::string_view line);

  void SetPrompt(std::string prompt) { m_prompt = std::move(prompt); }
  void SetNames(NamesFunc names) { m_names = std::move(names); }
  // The longest line read: the bytes of a longer one are dropped up to its end, said on
  // standard error, and the line after it is read instead.
  void SetMaxLineBytes(size_t bytes) { m_maxLineBytes = bytes; }

  // Reads one line (without its line end, cleaned; a line past the longest one is no line). kEnd at
  // the end of the input (Ctrl+D on an empty line) or a read error; kWoken when `wakeFd` (>= 0)
  // became readable first, which is left for the caller to read.
  eRead ReadLine(std::string& line, int wakeFd = -1);
  // Adds a line to the history and appends it to the history file (owner-only), written whole
  // again after kHistorySize appends; a write that fails is said once on `out`. A line longer
  // than kHistoryLineBytes is not kept, nor one read from the file.
  void Remember(const std::string& line);

  // The longest line kept, and the most a history file read at the start may hold: the most the
  // editor writes (1000 such lines, each byte written as at most 5).
  static constexpr size_t kHistoryLineBytes = 4096;
  static constexpr int kHistorySize = 1000;  // lines kept
  static constexpr long kHistoryBytes = 32L << 20;

 private:
  static int GetChar(editline* el, wchar_t* out);
  // False for a byte of a line past the longest one, which is dropped.
  bool TakeByte(char byte);
  static char* Prompt(editline* el);
  static unsigned char Complete(editline* el, int key);
  unsigned char CompleteWord();
  void LoadHistory();
  void SaveHistory();
  static bool HistoryText(history* from, std::string& text);
  // `line` as the history file holds it, with its line end.
  static bool LineText(const std::string& line, std::string& text);
  // False when the file holds nothing yet, cannot be written or would pass kHistoryBytes.
  bool AppendHistory(const std::string& line);
  // Opens the history file with `flags`, never following a link nor waiting; -1 (and `out`
  // told why, the history file then dropped) when it is no regular file or fails to open.
  int OpenHistory(int flags, bool missingIsFine);

  editline* m_el = nullptr;
  history* m_history = nullptr;
  std::FILE* m_in = nullptr;
  std::FILE* m_out;
  int m_inFd;
  int m_wakeFd = -1;
  bool m_woken = false;
  size_t m_maxLineBytes = 16 << 20;
  size_t m_lineBytes = 0;   // bytes read for the line being typed
  bool m_overlong = false;  // it passed m_maxLineBytes: dropped up to its end
  std::string m_historyFile;
  bool m_saveFailSaid = false;
  int m_appended = 0;  // lines appended since the file was last written whole
  std::string m_prompt;
  NamesFunc m_names;
  void* m_locale = nullptr;
};

}  // namespace platform
