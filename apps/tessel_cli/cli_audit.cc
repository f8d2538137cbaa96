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
  constexpr const char* kUsageLine = "usage: tessel_cli audit verify DIR [--key FILE]...";
  if (argc < 2 || std::strcmp(argv[1], "verify") != 0) return Say(kUsage, kUsageLine);
  // The folder and the keys in either order: "--key FILE DIR" took "--key" for the folder and
  // said it held no trail files, exit 1, as if the trail had failed its check.
  std::string folder;
  std::vector<std::string> keyFiles;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--key" && i + 1 < argc) {
      keyFiles.push_back(argv[++i]);
    } else if (word.starts_with("-") || !folder.empty()) {
      const std::string problem = word == "--key" ? "--key needs a FILE" : "unexpected " + word;
      return Say(kUsage, problem + "; " + kUsageLine);
    } else {
      folder = word;
    }
  }
  if (folder.empty()) return Say(kUsage, std::string("no DIR given; ") + kUsageLine);
  // Several keys, oldest first, for a trail whose key was made new between runs.
  std::vector<std::string> keys;
  for (const std::string& file : keyFiles) {
    std::string key, error;
    if (!LoadAuditKey(file, &key, &error)) return Say(kFails, error);
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
