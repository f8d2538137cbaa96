// The process-wide console: a command array holding the 17 standard groups plus a cursor (the
// current array and group) that console lines move or run statements in. The console thread
// hands lines over with SetCmd (any thread); everything else runs on the worker thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tessel/core/cmd_array.h"

class cBridge;

class cTesselCmd : public cCmdArray {
 public:
  // What the console moves into for an endpoint: its name and its bound next array when its
  // next switch is on (null when none is bound), its own command array otherwise; false for
  // null.
  static bool BridgeTarget(cBridge* bridge, std::string& name, cCmdArray*& array);

  static cTesselCmd& Instance();
  cTesselCmd() = default;

  // Runs the start-up script and selects level 0; the host has added the standard groups.
  void Start();

  // Most lines, and most bytes of them, that may wait for the worker; a line handed over beyond
  // either is dropped with a message on standard error, the first of a second; the others of
  // that second are counted in one line once it is over. A line finds room when none waits.
  static constexpr size_t kMaxPendingLines = 1024;
  static constexpr size_t kMaxPendingBytes = 64 << 20;

  // Hands a console line over; it waits behind the lines not run yet, so lines typed or pasted
  // faster than the worker's pass are all run, in order; the host's worker is woken for it. An
  // empty line is ignored. Any thread.
  void SetCmd(const char* text);
  // The line being run, else the next one waiting ("" when none). Any thread.
  std::string GetCurInput() const;
  // Whether a line is being run or waits, without copying it (a waiting line may hold 16 MiB,
  // and the worker asks at every pass). Any thread.
  bool HasInput() const;
  // The same into `out` (cut to size - 1 bytes) without allocating, shown only up to a word
  // "Login" (then "Login(***)" follows); false, without waiting, when the input lock is held.
  bool CopyCurInput(char* out, size_t size) const;
  // Hands over the answers of ended shell lines, then runs the oldest waiting line, if any, and
  // prints the prompt (unless the console's line editor shows it).
  void Run();
  // Whether Run prints the prompt. Any thread.
  void SetPrintPrompt(bool print) { m_bPrintPrompt = print; }
  // The function names of the current group as of the last line run (the console thread
  // completes from them while the worker owns the groups). Any thread.
  std::vector<std::string> CurrentNames() const;

  void ParseCmd(const char* line, std::ostream& os);
  // Parses the line as seen from the console's own level 0, then restores the cursor.
  void ParseCmdTessel(const char* line, std::ostream& os);
  bool ParseQuestion(std::string& line, std::ostream& os);

  bool ShiftCmdType(const char* type, bool quiet, std::ostream& os);
  void ShiftCmd(cCmd* cmd, bool quiet, std::ostream& os);
  void ShiftCmd(int level, bool quiet, std::ostream& os);
  void ShiftCmds(const char* type, int level, bool quiet, std::ostream& os);
  void ShiftCmdsName(const char* type, const char* name, bool quiet, std::ostream& os);

  cCmdArray* GetCurCmdArray() const { return m_pCurArray; }
  cCmd* GetCurCmd() const { return m_pCurCmd; }

 private:
  struct stCursor {
    cCmdArray* array;
    cCmd* cmd;
  };

  void RunStartScript();
  void PublishNames();
  // Before a link's code (a command served for a link, code it left to run later, an account's
  // line) moves the cursor: the operator's cursor is kept, once, for the console's next line.
  void KeepOperatorCursor();
  // Puts back the cursor a link's code moved, saying so, before a console line runs.
  void RestoreOperatorCursor(std::ostream& os);
  // Puts back, without a word, the cursor a link's code moved in another command (or another
  // resume of code left to run later) before this code reads or moves it: the move holds for
  // the text that made it only, never for the next command of this or another link.
  void ReturnCursorOfOtherCode();
  void ShiftByName(const std::string& name, std::ostream& os);
  // Under the input lock: the dropped lines not said yet once their second is over, else 0.
  unsigned long TakeUnsaidDrops(uint32_t nowMs);
  static void SayDrop(size_t waiting, size_t bytes);
  static void SayMoreDropped(unsigned long count);
  static cCmd* GroupAt(const cCmdArray* array, int level);

  cCmdArray* m_pCurArray = this;
  cCmd* m_pCurCmd = nullptr;
  std::optional<stCursor> m_operatorCursor;  // where the console was before a link moved it
  uint64_t m_cursorMovedIn = 0;              // the rights scope whose code moved it

  // Hand-over from the console thread: the front is the line being run or the next to run; only
  // Run removes it, after running it.
  mutable std::mutex m_inputLock;
  std::deque<std::string> m_inputs;
  size_t m_inputBytes = 0;  // the bytes of m_inputs
  // A flood of lines dropped wrote as many lines on standard error (the journal, under systemd).
  uint32_t m_dropSaidMs = 0;        // when a drop was last said, under m_inputLock
  unsigned long m_dropsUnsaid = 0;  // drops since then, under m_inputLock
  std::vector<std::string> m_names;
  std::atomic<bool> m_bPrintPrompt{true};
};
