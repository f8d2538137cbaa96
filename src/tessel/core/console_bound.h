// The console lines printed by the commands of narrowed accounts, held to one bound per second:
// a stream buffer between std::cout and its output that passes everything else as it is. A
// viewer's command can make many functions print on this console (reports, traces, echoes,
// Output, error lines); calling them in a loop puts at most kLinesPerSecond of their lines and
// kBytesPerSecond of their text there (a line past the bytes is cut), and the next line printed
// after lines were left out says how many; their text shows no terminal control (escape
// sequences, control bytes but line end and tab). The worker thread counts, drops and cleans;
// any other thread's writes pass through.
#pragma once

#include <cstdint>
#include <streambuf>
#include <string>

class cConsoleBound : public std::streambuf {
 public:
  static constexpr unsigned kLinesPerSecond = 100;
  static constexpr std::streamsize kBytesPerSecond = 64 << 10;
  // Lines a second the system's own notices may add past a narrowed account's: its flood never
  // crowds them out, and a flood of notices (a loop of calls that each drop) is bounded too.
  static constexpr unsigned kNoticesPerSecond = 20;

  explicit cConsoleBound(std::streambuf* target) : m_target(target) {}

  // Puts a bound between std::cout and what it writes to, unless one is there already. It lives
  // as long as the process (std::cout is flushed at the very end). Call it before the threads
  // that print start.
  static void Install();
  // Says how many lines were left out once their second has passed, when no later line of a
  // narrowed account said it: else the last lines of a flood (a text that went round between
  // processes) were gone without a word. The worker calls it after each pass. Worker thread only.
  static void SayLeftOut();
  // Writes `line` and a line end on the console as the system's own notice (a drop, a "not
  // sent"): within a narrowed account's command it passes that account's lines, is left out only
  // past kNoticesPerSecond more, and then the count line names the last one left out. Worker
  // thread for the bound; on any other thread, or outside narrowed rights, it is written as is.
  static void Notice(const std::string& line);

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Whether the text written now is a narrowed command's: on the worker, within narrowed rights.
  static bool Bounded();
  // Whether the line that begins now is printed; says first how many were left out before it.
  void NewSecond();
  bool TakeLine();
  void ShowNotice(const std::string& line);
  // A line left out unfinished by code that has ended (its rights scope is over) ends with it:
  // else it took the next command's first line, and the count was never said.
  void EndLeftOutLine();
  // A shown line left unfinished by code that has ended ends before the next code's text: else
  // that text (the console's own answer, another account's) read as the rest of the account's.
  void EndShownLine();
  void SayCount();
  void Show(const char* text, std::streamsize count, bool lineEnds);
  void Write(const char* text, std::streamsize count);

  std::streambuf* m_target;
  // Touched only while Bounded(), that is on the worker thread.
  uint32_t m_windowMs = 0;
  unsigned m_printed = 0;
  std::streamsize m_bytes = 0;
  bool m_cut = false;  // the shown line lost its rest to the bytes' bound
  unsigned long m_leftOut = 0;
  std::string m_lastNotice;  // the last notice among the lines left out
  bool m_atLineStart = true;
  bool m_lineShown = true;
  uint64_t m_lineScope = 0;  // the rights scope (OuterSerial) the line began in
};
