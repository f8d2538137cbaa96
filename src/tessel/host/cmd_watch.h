// The host's observer of every command run: notes it in the crash report's record of commands
// (with who asked for it) and, while metrics are on, counts it and its duration per group.
// Called on the thread that runs commands (the worker).
#pragma once

#include "tessel/core/cmd.h"

class cCmdWatch final : public iCmdObserver {
 public:
  static cCmdWatch& Instance();
  void OnCmdBegin(cCmd& group, const char* shownText) override;
  void OnCmdEnd(cCmd& group, std::uint64_t nanoseconds) override;

  // "console" for a command typed here; else "<account>@<link>#<id>" of the link it came on
  // (without the account when none is logged in there). Cut to fit `size`.
  static void Requester(char* out, std::size_t size);
};
