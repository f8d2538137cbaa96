#include "tessel/core/cmd_categories.h"

#include <algorithm>

namespace {

using R = eCmdRight;

constexpr std::string_view kWords[kStandardGroups] = {
    "Tessel", "Account", "Login",  "Input",     "Maintain", "Net", "Test", "Remote", "RemoteCall",
    "Msg",    "Sim",     "Script", "Exception", "Config",   "Log", "OS",   "Replay"};

struct stRow {
  int level;  // -1: the function has this right in every group that registers it
  std::string_view func;
  eCmdRight right;
};

// @read: only reports. @write: changes values or state of this process. @shell: starts
// programs or reaches files through the shell or Lua. @files: file transfer and the
// maintenance paths. @net: link, server and routing control, sending to other processes.
// @admin: restart, close, clock, faults, aliases, injected traffic, security values.
constexpr stRow kRows[] = {
    // Every group.
    {-1, "Help", R::kRead},
    {-1, "Functions", R::kRead},
    {-1, "Output", R::kRead},
    // 0 Tessel
    {0, "ClientCmd", R::kRead},
    {0, "ClientCmds", R::kRead},
    {0, "ServerCmd", R::kRead},
    {0, "ServerCmds", R::kRead},
    {0, "DoCmd", R::kWrite},
    // 1 Account
    {1, "GetAccount", R::kRead},
    {1, "Accounts", R::kRead},
    {1, "Account", R::kRead},
    {1, "ToTop", R::kNet},
    {1, "Top", R::kRead},
    {1, "Toped", R::kWrite},
    {1, "ShowTop", R::kRead},
    {1, "Status", R::kRead},
    {1, "SendPathCmd", R::kWrite},  // the top path's setter
    {1, "Denied", R::kRead},
    {1, "ReloadAccounts", R::kAdmin},
    {1, "Kick", R::kAdmin},
    // 2 Login: open to every link.
    {2, "Login", R::kRead},
    {2, "Logined", R::kRead},
    {2, "Logout", R::kRead},
    {2, "Mark", R::kRead},
    {2, "Marked", R::kRead},
    // 3 Input
    {3, "Run", R::kFiles},
    {3, "RunRemote", R::kFiles},
    {3, "Replace", R::kRead},
    {3, "Alias", R::kWrite},
    {3, "AddReplace", R::kAdmin},
    {3, "AddAlias", R::kAdmin},
    // 4 Maintain
    {4, "cleanlogl", R::kFiles},
    {4, "cleanlog", R::kFiles},
    {4, "disk", R::kRead},
    {4, "open", R::kShell},
    {4, "copy", R::kFiles},
    {4, "download", R::kFiles},
    {4, "upload", R::kFiles},
    {4, "killprocess", R::kShell},
    {4, "findprocess", R::kRead},
    {4, "dos", R::kShell},
    {4, "clearascript", R::kWrite},
    {4, "writefileindex", R::kFiles},
    {4, "downloadfilepart", R::kFiles},
    {4, "downloadpathtime", R::kFiles},
    {4, "downloadfile", R::kFiles},
    {4, "Restart", R::kAdmin},
    {4, "RestartTime", R::kAdmin},
    {4, "Close", R::kAdmin},
    {4, "BroadCmdReverseName", R::kNet},
    {4, "BroadCmdReverse", R::kNet},
    {4, "BroadCmdNameClient", R::kNet},
    {4, "BroadCmdName", R::kNet},
    {4, "BroadCmd", R::kNet},
    {4, "SetInfoValue", R::kWrite},
    {4, "Time", R::kAdmin},
    {4, "GetInfos", R::kRead},
    {4, "GetTime", R::kRead},
    {4, "Ver", R::kRead},
    {4, "DoCmd", R::kWrite},
    // 5 Net
    {5, "ForbitAccept", R::kNet},
    {5, "DisconnectServer", R::kNet},
    {5, "ConnectServer", R::kNet},
    {5, "Disconnect", R::kNet},
    {5, "SetAutoConnect", R::kNet},
    {5, "SetConnectIP", R::kNet},
    {5, "SetConnect", R::kNet},
    {5, "Connect", R::kNet},
    {5, "Set", R::kNet},
    {5, "Client", R::kRead},
    {5, "Brother", R::kRead},
    {5, "Servers", R::kRead},
    {5, "Clients", R::kRead},
    {5, "Server", R::kRead},
    {5, "List", R::kRead},
    {5, "NetID", R::kRead},
    {5, "TraceLink", R::kRead},
    {5, "TraceRecieveCmd", R::kWrite},
    {5, "TraceSendCmd", R::kWrite},
    {5, "TraceRecieveCmdA", R::kWrite},
    {5, "TraceSendCmdA", R::kWrite},
    // 6 Test
    {6, "Echo", R::kRead},
    {6, "Hello", R::kRead},
    {6, "ChangeCmdArrayToNext", R::kNet},
    // 7 Remote
    {7, "SendPathCmd", R::kNet},
    {7, "FindPathOnRoute", R::kNet},
    {7, "SendRemoteCmdParam", R::kNet},
    {7, "SendRemoteCmd", R::kNet},
    {7, "TraceRemote", R::kRead},
    {7, "FindedPathOnRoute", R::kWrite},
    // 8 RemoteCall: calls a function of a deployed script, whose own calls are checked there.
    {8, "SafeCall", R::kWrite},
    // 9 Msg
    {9, "SendToServer", R::kNet},
    {9, "SendLink", R::kNet},
    {9, "SendToClient", R::kNet},
    {9, "SendClients", R::kNet},
    {9, "SendAccount", R::kNet},
    // 10 Sim: injected traffic runs as another link would.
    {10, "SimNet", R::kAdmin},
    {10, "SimRecv", R::kAdmin},
    {10, "SimRecvAccount", R::kAdmin},
    {10, "SimRecvLink", R::kAdmin},
    {10, "SimDisconnect", R::kAdmin},
    {10, "SimConnect", R::kAdmin},
    // 11 Script (it also carries the config and log groups' functions, below)
    {11, "ParseCmd", R::kWrite},
    {11, "ParseCmdOut", R::kWrite},
    {11, "ShiftCmd", R::kWrite},
    {11, "ShiftCmds", R::kWrite},
    {11, "ShiftCmdsName", R::kWrite},
    {11, "Send", R::kNet},
    {11, "SendName", R::kNet},
    {11, "SendToClient", R::kNet},
    {11, "SendClients", R::kNet},
    {11, "SendToServer", R::kNet},
    {11, "CloneClient", R::kNet},
    {11, "ClearAScript", R::kWrite},
    {11, "GetDateString", R::kRead},
    {11, "RestartTessel", R::kAdmin},
    {11, "CloseTessel", R::kAdmin},
    {11, "ReloadAll", R::kWrite},
    {11, "RunScript", R::kWrite},
    {11, "RunScriptTest", R::kWrite},
    {11, "RunScriptTestF", R::kWrite},
    {11, "RunScriptString", R::kAdmin},
    {11, "GetGameTime", R::kRead},
    {11, "SetGameTime", R::kAdmin},
    {11, "SetTimeMul", R::kAdmin},
    {11, "GetTimeMul", R::kRead},
    {11, "IsDay", R::kRead},
    {11, "IsNight", R::kRead},
    {11, "StartYield", R::kWrite},
    {11, "Yield", R::kRead},
    {11, "YieldCount", R::kRead},
    // 12 Exception: the notices peers send, and the faults.
    {12, "ClientException", R::kRead},
    {12, "ServerException", R::kRead},
    {12, "DeadLoop", R::kAdmin},
    {12, "Throw", R::kAdmin},
    {12, "Null", R::kAdmin},
    {12, "Vir", R::kAdmin},
    {12, "Zero", R::kAdmin},
    {12, "Func0Run", R::kAdmin},
    {12, "Func0", R::kAdmin},
    // 13 Config (SetConfigValue/SetConfigString of a security value need @admin)
    {13, "SetConfigValue", R::kWrite},
    {13, "GetConfigValue", R::kRead},
    {13, "ViewConfigValue", R::kRead},
    {13, "SetConfigString", R::kWrite},
    {13, "GetConfigString", R::kRead},
    {13, "ViewConfigString", R::kRead},
    {13, "SetGameValue", R::kWrite},
    {13, "GetGameValue", R::kRead},
    {13, "ViewGameValue", R::kRead},
    {13, "SetGameString", R::kWrite},
    {13, "GetGameString", R::kRead},
    {13, "ViewGameString", R::kRead},
    {13, "GetExeParam", R::kRead},
    {13, "GetMapName", R::kRead},
    {13, "ViewExeParam", R::kRead},
    {13, "IsServer", R::kRead},
    // 14 Log
    {14, "flush_log_cache", R::kWrite},
    {14, "add_appender_cout", R::kWrite},
    {14, "add_appender_file", R::kFiles},
    {14, "add_appender_folder", R::kFiles},
    // 15 OS
    {15, "dofile", R::kShell},
    {15, "require", R::kShell},
    {15, "DeleteFolder", R::kShell},
    {15, "ZipDir", R::kShell},
    {15, "System", R::kShell},
    {15, "Console", R::kAdmin},
    {15, "OS_Upload", R::kRead},
    {15, "OS_Download", R::kRead},
    {15, "OS_SetGameTime", R::kAdmin},
    {15, "OS_QueryGameTime", R::kRead},
    {15, "OS_SetTime", R::kAdmin},
    {15, "OS_QueryTime", R::kRead},
    {15, "SetAlloc", R::kWrite},
    {15, "Hello", R::kRead},
    // 16 Replay
    {16, "Record", R::kFiles},
    {16, "Replay", R::kAdmin},
    {16, "ReplaySpeed", R::kAdmin},
};

}  // namespace

eCmdRight StandardRight(std::string_view word, std::string_view func) {
  const int level = StandardLevel(word);
  for (const stRow& row : kRows)
    if (row.func == func && (row.level == -1 || row.level == level)) return row.right;
  // The script group carries the config and log groups' functions.
  if (level == 11)
    for (const stRow& row : kRows)
      if (row.func == func && (row.level == 13 || row.level == 14)) return row.right;
  return eCmdRight::kUnset;
}

int StandardLevel(std::string_view word) {
  const auto* end = kWords + kStandardGroups;
  const auto* it = std::find(kWords, end, word);
  return it == end ? -1 : static_cast<int>(it - kWords);
}

const std::string_view* StandardWords() {
  return kWords;
}

bool StandardFunction(int level, std::string_view func) {
  if (level < 0 || level >= kStandardGroups) return false;
  return StandardRight(kWords[level], func) != eCmdRight::kUnset;
}

bool IsLoginGroup(std::string_view word) {
  return word == "Login";
}

bool IsSecurityConfigKey(std::string_view key) {
  // Login checks, rights, and the roots the maintenance commands may reach.
  if (key == "check_login" || key == "rights_without_account" || key.substr(0, 9) == "maintain_")
    return true;
  // The limits: lifted by a narrowed account (lua_time_limit = 0), one loop of its would hold
  // the worker for good.
  for (std::string_view limit :
       {"lua_time_limit", "lua_memory_limit", "shell_time_limit", "login_deadline", "flood_records",
        "flood_kbytes", "end_time_limit", "writefileindex_max_mbytes", "record_max_mbytes"})
    if (key == limit) return true;
  return false;
}
