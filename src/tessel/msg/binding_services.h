// What the built-in bindings need from the endpoint's logs and the base library's scripts.
// Worker thread only.
#pragma once

#include <ostream>

class iBridge;
class KLuaScript;

// The stream of the endpoint's received-message log.
std::ostream& MsgLogStream(iBridge& bridge);
// Runs `text` in the error script.
void RunScriptText(KLuaScript& script, const char* text);
// Runs a received command text in the command script, reported when it takes over 100 ms.
void RunCmdScript(KLuaScript& script, const char* text);
