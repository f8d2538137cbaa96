// An array of command groups by level: the level of a slot is the address of the commands run
// there. The array does not own its groups; it owns its report log. Worker thread only.
#pragma once

#include <ostream>
#include <vector>

#include "tessel/core/cmd.h"

class cLog;

class cCmdArray {
 public:
  cCmdArray();
  ~cCmdArray();
  cCmdArray(const cCmdArray&) = delete;
  cCmdArray& operator=(const cCmdArray&) = delete;

  // Puts `cmd` at `level` (growing the array with empty slots) after creating its state.
  void AddCmd(unsigned level, cCmd* cmd);
  // AddCmd, then registers the Lua function Output bound to `fn` (the default prints
  // "Output() " and the text when `fn` is null).
  void AddCmdOutput(unsigned level, cCmd* cmd, void (*fn)(const char*));
  // AddCmdOutput when `fn` is given, plain AddCmd otherwise.
  void AddCmdOutputF(unsigned level, cCmd* cmd, void (*fn)(const char*));
  // Registers `fn` as the Lua global `name` in the group at `level`.
  void RegisterOutput(int level, const char* name, void (*fn)(const char*));

  cCmd* GetCmd(unsigned level) const;
  cCmd* GetDefaultCmd() const;
  int FindCmd(cCmd* cmd) const;
  cCmd* FindCmd(const char* name) const;
  // The next (previous) non-null group after (before) `cur`, wrapping around; never `cur`.
  cCmd* NextCmd(cCmd* cur) const;
  cCmd* PrevCmd(cCmd* cur) const;
  void RunCmd(unsigned level, const char* text);
  size_t GetCmdCount() const { return m_vCmd.size(); }

  void TraceCmds(std::ostream& os) const;
  void ReportCmdName(std::ostream& os) const;
  void ReportCmdDo(std::ostream& os) const;

  void CreateLog(const char* name);
  void ReportLog();
  void EndLog();
  cLog* GetCmdArrayLog() const { return m_pLog; }

  // The process's console array, in whose groups endpoints that use the console's groups run
  // peer commands; the console registers itself when it is made. Null before. Any thread.
  static cCmdArray* Console();
  static void SetConsole(cCmdArray* console);

 private:
  std::vector<cCmd*> m_vCmd;
  cLog* m_pLog;
};
