// The broadcast side of the maintenance commands: the command texts that spread a command
// through the cluster, sending them to the server managers, and running a command here.
// Worker thread only.
#pragma once

#include <string>

// The texts sent to group 4 of every server manager. The command text (and name) travel as Lua
// string literals that end only where they should, whatever quotes or brackets they hold.
std::string MakeBroadDoCmd(int group, const std::string& text);
std::string MakeBroadNameClientCmd(int group, const std::string& text, const std::string& name);
std::string MakeBroadReverseCmd(int group, const std::string& text);
std::string MakeBroadReverseNameCmd(int group, const std::string& text, const std::string& name);

// Whether the recursive broadcast `wire` (its text as passed on) may run and spread from here:
// one typed on this console always may; one that came over a link may not when the same text
// passed here within the last kBroadcastMemoryMs, so a broadcast that comes round a circle of
// links (or along two ways) ends instead of running and spreading without end. Says so when not.
// Such a text comes round within milliseconds; a second is short enough that a program's
// broadcast of the same text every second or slower still reaches every process each time.
inline constexpr long kBroadcastMemoryMs = 1000;
bool FirstBroadcastPass(const char* label, const std::string& wire);
// The same for a broadcast `wire` that the text of a broadcast received over a link sends on
// (BroadCmd or BroadCmdName in a DoCmd or BroadCmdNameClient that came here): a text that sends
// itself on in turn ends once it came round a circle of links. Any other passes.
bool FirstRelayedPass(const char* label, const std::string& wire);

// Whether the command being served is the recursive broadcast `wire` itself, as a process below
// passed it on here (its text exactly as sent on), rather than one an operator gave this process.
bool ServingRelay(const std::string& wire);

// Sends `text` to group 4 of every server manager of the host; the number of links it went on,
// -1 when the host has no server manager.
int SendToServerManagers(const std::string& text);

// Runs `text` in group `group` here: through the link the command being served came over, or,
// typed on the console, in the console's group of that level.
void RunHere(int group, const std::string& text);
