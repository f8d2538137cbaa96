// Starts the program again in its own process after an orderly end that asked for a restart:
// the same executable with the launch words it was given, its standard input and terminal as
// they were at the launch, and no descriptor but those the launch itself inherited. Main thread
// only.
#pragma once

#include <termios.h>

#include <map>
#include <string>
#include <vector>

class cSelfRestart {
 public:
  // Records the launch: call it first in main, before the password word is hidden and the
  // password variable is taken out of the environment.
  cSelfRestart(int argc, char** argv);

  // Replaces the process image with a new start of the program. Returns only when that failed,
  // with the reason in `why`.
  void Exec(std::string& why) const;

 private:
  void CloseOwnDescriptorsOnExec() const;

  std::vector<std::string> m_args;         // argv as given, the password word unmasked
  std::string m_password;                  // the password variable as given, empty when unset
  std::map<int, std::string> m_inherited;  // descriptors above 2 open at the launch
  bool m_bTerminal = false;                // standard input is a terminal
  termios m_terminal{};                    // its modes at the launch
};
