// Time-stamped log files of one owner (a link endpoint, a command array): cLog is the file
// stream, cMsgLog a log of received messages kept in a folder. Each object is used by one
// thread at a time (the worker thread).
#pragma once

#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

// A log file that is an output file stream. With echo on, everything written through its own
// insertion operators also goes to standard output.
class cLog : public std::ofstream {
 public:
  cLog() = default;
  ~cLog() override;
  cLog(const cLog&) = delete;
  cLog& operator=(const cLog&) = delete;

  // Opens (truncating) the named file and writes the header "create log file at: <time>".
  bool Open(const char* file);
  // Opens a file named after the current local time in the folder, creating the folder when
  // missing; with keepDays above 0, files of the folder older than that many whole days are
  // deleted first.
  bool Open(const char* folder, int keepDays);
  // Writes "\nend log file at: <time>", flushes and closes (nothing when not open).
  void Close();
  // Whether a file is open; closes it without the end mark. They hide the stream's own: the file
  // is written through a buffer over the descriptor that was judged when it was opened.
  bool is_open() const { return m_pBuffer != nullptr; }
  void close();
  // Called between the judgement of a file's name and its open (tests plant a link there).
  // Process-wide; set before any log opens.
  static void SetBeforeOpen(void (*hook)(const std::string& file));
  // Off: every Open from then on makes no folder and no file and succeeds; what is written goes
  // nowhere (the echo still goes to standard output). A program that keeps no logs (a console
  // client) turns it off before it opens any. Process-wide; any thread.
  static void SetFilesOn(bool on);

  // Writes the current local time as "MM_dd hh:mm:ss ". As it starts a line, it first takes up
  // after a write that failed (a full disk): the stream would otherwise refuse every later line.
  // The failure is said once on standard output ("cLog can not write <file>; lines may be lost
  // until it can"), and so is the first line written after it ("cLog writes to <file> again").
  cLog& TimeStamp();
  // What TimeStamp does before the time, for a line that carries a time of its own: takes up
  // after a failed write and makes a removed file again.
  cLog& BeginLine();
  // A log line: the time stamp, the text and a line end.
  void WriteLine(const std::string& text);

  void SetEcho(bool on) { m_bEcho = on; }
  bool GetEcho() const { return m_bEcho; }
  const std::string& GetFileName() const { return m_strFile; }

  template <class T>
  cLog& operator<<(const T& value) {
    static_cast<std::ostream&>(*this) << value;
    if (m_bEcho) std::cout << value;
    return *this;
  }
  cLog& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    manipulator(*this);
    if (m_bEcho) manipulator(std::cout);
    return *this;
  }

 private:
  bool OpenFile(const std::string& file, std::ios::openmode mode);
  bool Attach(int fd, std::ios::openmode mode);
  void ReopenIfRemoved();
  void TakeUpAfterFailure();
  // No descriptor, memory or room free for now (errno `error`).
  static bool LacksRoomForNow(int error);
  void SayLate(const char* how, bool taken);
  bool OpenLater(std::ios::openmode mode, bool said, int error);

  std::unique_ptr<std::filebuf> m_pBuffer;
  std::string m_strFile;
  bool m_bEcho = false;
  bool m_bFailing = false;
  bool m_bLate = false;      // the name could not be opened again for now
  bool m_bOpenLate = false;  // the file could not be opened for now: tried at each line
  std::ios::openmode m_openMode = std::ios::out;
};

// A log of received messages in a folder of its own.
class cMsgLog {
 public:
  cMsgLog();
  virtual ~cMsgLog();
  cMsgLog(const cMsgLog&) = delete;
  cMsgLog& operator=(const cMsgLog&) = delete;

  // Opens the log in the folder; prints "can not open log file <file>" when that fails.
  bool Open(const char* folder, int keepDays);
  // One time-stamped line with the text, then one with "recieve msg type <type> size <size>".
  void LogMsg(const char* text, uint16_t type, uint32_t size);

  cLog& GetLog() { return *m_pLog; }
  const std::string& GetFolder() const { return m_strFolder; }

 private:
  std::unique_ptr<cLog> m_pLog;
  std::string m_strFolder;
};
