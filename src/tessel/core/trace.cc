#include "tessel/core/trace.h"

#include <iostream>
#include <string>

#include "platform/console_color.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/loggers.h"
#include "tessel/core/login_text.h"

namespace {

// The '(' that opens the parameter list: the partner of the last ')', so that qualifiers after
// the list (" const", " noexcept") and "operator()" in the name are passed over.
size_t ParameterListStart(std::string_view s) {
  size_t close = s.rfind(')');
  if (close == std::string_view::npos) return std::string_view::npos;
  int depth = 0;
  for (size_t i = close + 1; i-- > 0;) {
    if (s[i] == ')') ++depth;
    if (s[i] == '(' && --depth == 0) return i;
  }
  return std::string_view::npos;
}

// The start of the name that ends at `end`: after the last blank outside template brackets
// (before it stand the return type and words such as "static" or "virtual").
size_t NameStart(std::string_view s, size_t end) {
  int depth = 0;
  for (size_t i = end; i-- > 0;) {
    if (s[i] == '>') ++depth;
    if (s[i] == '<') --depth;
    if (s[i] == ' ' && depth <= 0) return i + 1;
  }
  return 0;
}

}  // namespace

std::string QualifiedFunctionName(std::string_view signature) {
  // GCC appends template arguments as " [with T = ...]".
  size_t with = signature.find(" [with ");
  if (with != std::string_view::npos) signature = signature.substr(0, with);
  size_t open = ParameterListStart(signature);
  if (open == std::string_view::npos) return std::string(signature);
  size_t start = NameStart(signature, open);
  // A name that starts with '*' or '&' belongs to a return type like "int* f()".
  while (start < open && (signature[start] == '*' || signature[start] == '&')) ++start;
  return std::string(signature.substr(start, open - start));
}

std::string TraceText(std::string_view signature, int line) {
  return QualifiedFunctionName(signature) + "(" + std::to_string(line) + ")";
}

void WriteTraceLine(std::string_view signature, int line) {
  const loglib::logger& log = tessel_info();
  if (log(kTesselLogLevel)) TesselLogWrite(log, TraceText(signature, line));
}

// The section's end is the return to light cyan.
void WritePositionBanner(const char* file, int line, std::string_view signature) {
  platform::ColorSection bright(platform::kColorBrightWhite);
  std::cout << "【Dump】" << file << "(" << line << ") [" << QualifiedFunctionName(signature)
            << "] ";
}

namespace {

// The trace of a sent command is dark yellow on the console.
constexpr int kTraceColor = 6;

void WriteSendTrace(const char* kind, const std::string& line) {
  platform::SetColor(kTraceColor);
  std::cout << "[TraceSendCmd " << kind << "]" << std::endl;
  std::cout << line << std::endl;
  platform::SetColor(platform::kColorLightCyan);
}

}  // namespace

void TraceSendCmd(iSend* link, int level, const char* text) {
  if (link == nullptr || !link->IsTraceSendCmd()) return;
  WriteSendTrace("Link", std::string(link->GetName()) + " id " + std::to_string(link->GetID()) +
                             " cmd " + std::to_string(level) + " " +
                             MaskCmdText(text != nullptr ? text : ""));
}

void TraceServerCmd(iServer* server, int level, const char* text) {
  if (server == nullptr || !server->IsTraceSendCmd()) return;
  WriteSendTrace("Server", std::string(server->GetName()) + " cmd " + std::to_string(level) + " " +
                               MaskCmdText(text != nullptr ? text : ""));
}
