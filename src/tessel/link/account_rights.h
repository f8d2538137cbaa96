// The rights keys of an account file ("allow", "deny", "targets", "process"), read all or
// nothing, and the rights of logins without an account file (the configuration value
// "rights_without_account"). Worker thread only (the group names the items are checked
// against belong to the worker).
#pragma once

#include <string>

#include "tessel/core/cmd_rights.h"

// What an account file grants besides its level.
struct stAccountRights {
  CmdRightsPtr rights;   // null: no rights keys, every group as the level allows
  bool process = false;  // "process = 1": a process account, which may carry an origin
};

// Reads the rights keys of the account file at `path` for `account`. A file without them gives
// null rights. False, with "FILE:LINE: reason" in `error`, when any of them is bad: a value with
// a blank (a line of more than three words), a missing value, a key given twice, an unknown
// item; then nothing of the file counts.
bool LoadAccountRights(const std::string& path, const std::string& account, stAccountRights& out,
                       std::string& error);
// The same from the file's text read already.
bool ParseAccountRights(const std::string& path, const std::string& account, std::string text,
                        stAccountRights& out, std::string& error);

// The rights of a login without an account file, from "rights_without_account" (an allow list;
// empty, the default, grants every group). False, with the reason, when the value is bad.
bool RightsWithoutAccount(const std::string& account, CmdRightsPtr& rights, std::string& error);

// Rights that grant no group: for an account whose rights cannot be had, or whose level is 0.
CmdRightsPtr GrantNothing(const std::string& account);
