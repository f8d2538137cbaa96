#include "tessel_cli/cli_audit.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/terminal_text.h"
#include "tessel/core/audit_chain.h"
#include "tessel/core/audit_verify.h"

namespace {

constexpr int kHolds = 0;
constexpr int kFails = 1;
constexpr int kUsage = 64;

int Say(int code, const std::string& text) {
  std::FILE* to = code == kHolds ? stdout : stderr;
  std::fprintf(to, "%s%s\n",
               code == kHolds ? "" : "tessel_cli: audit: ", platform::TerminalText(text).c_str());
  // A verdict that never reached its reader (a full disk, a closed pipe) is no verdict: a
  // script reading "holds" from the exit code alone would take a trail nobody saw as checked.
  if (code == kHolds && (std::fflush(to) != 0 || std::ferror(to) != 0))
    return Say(kFails, "the verdict could not be written to standard output");
  return code;
}

}  // namespace

int RunAudit(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "verify") != 0)
    return Say(kUsage, "usage: tessel_cli audit verify DIR [--key FILE]");
  const std::string folder = argv[2];
  // Several keys, oldest first, for a trail whose key was made new between runs.
  std::vector<std::string> keys;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--key") != 0 || i + 1 >= argc)
      return Say(kUsage, "usage: tessel_cli audit verify DIR [--key FILE]");
    std::string key, error;
    if (!LoadAuditKey(argv[++i], &key, &error)) return Say(kFails, error);
    keys.push_back(key);
  }
  const stAuditVerdict verdict = VerifyAuditTrail(folder, keys);
  if (!verdict.holds) return Say(kFails, verdict.reason);
  std::fputs(platform::TerminalText(verdict.notes).c_str(), stdout);
  return Say(kHolds, "the trail holds: " + std::to_string(verdict.lines) + " lines in " +
                         std::to_string(verdict.files) + " file(s), " +
                         (keys.empty() ? "chain checked" : "chain and MACs checked") +
                         (verdict.live ? "; its last run is still being written" : ""));
}
