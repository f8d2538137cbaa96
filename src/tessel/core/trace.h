// Trace lines ("cTesselCmd::Start(31)" to "tessel.info"), the position banner and the trace
// of sent commands on the console. Any thread.
#pragma once

#include <string>
#include <string_view>

// The qualified name of a function from its compiler signature: "bool cCmd::Do(const char*)"
// gives "cCmd::Do".
std::string QualifiedFunctionName(std::string_view signature);

// The trace line text of a function at a source line: qualified name, then the line in
// parentheses.
std::string TraceText(std::string_view signature, int line);
// Writes the trace line to "tessel.info".
void WriteTraceLine(std::string_view signature, int line);

// In a bright-white section: "【Dump】", the file, "(", the line, ") [", the qualified name, "] ";
// then the console colour is light cyan.
void WritePositionBanner(const char* file, int line, std::string_view signature);

class iSend;
class iServer;

// The trace of a command sent over `link` (or to every link of `server`), in dark yellow on the
// console with a login password masked; written only when the link or server traces sent
// commands.
void TraceSendCmd(iSend* link, int level, const char* text);
void TraceServerCmd(iServer* server, int level, const char* text);

// Traces the enclosing function at this line.
#define TESSEL_TRACE() WriteTraceLine(__PRETTY_FUNCTION__, __LINE__)
// Shows where the program is: file, line and enclosing function.
#define TESSEL_DUMP_POSITION() WritePositionBanner(__FILE__, __LINE__, __PRETTY_FUNCTION__)
