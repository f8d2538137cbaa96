// The audit trail in tests: a trail opened in a temporary folder with a clock the test sets,
// and the lines of its files. Header-only. The test's thread.
#pragma once

#include <atomic>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tessel/core/audit_line.h"
#include "tessel/core/audit_trail.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace testkit {

// Every line of the trail files in `folder`, oldest file first.
inline std::vector<std::string> AuditLines(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".audit") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const auto& file : files)
    for (std::string& line : Lines(ReadFile(file))) lines.push_back(std::move(line));
  return lines;
}

// A trail of its own in a temporary folder (trail/ and key), on a clock the test moves.
struct cAuditFolder {
  cTempDir dir;
  std::atomic<int64_t> nowUs{1796601600000000};  // 2026-12-07 00:00:00 UTC; the writer reads it
  cAuditTrail trail;

  cAuditTrail::stOptions Options(size_t slots = 64) {
    cAuditTrail::stOptions options;
    options.folder = dir / "trail";
    options.keyFile = dir / "config/audit.key";
    options.process = "game";
    options.crashReport = dir / "ERRORLOG.TXT";
    options.slots = slots;
    options.clockUs = [this] { return nowUs.load(); };
    return options;
  }
  std::string Folder() const { return dir / "trail"; }
  std::string KeyFile() const { return dir / "config/audit.key"; }
  std::vector<std::string> Lines() const { return AuditLines(Folder()); }
};

// The process's own trail, opened here for a test on the machine clock (the lines of the worker's
// runs are timed by it) and closed at the end.
struct cProcessTrail : cAuditFolder {
  cProcessTrail() {
    cAuditTrail::stOptions options = Options();
    options.clockUs = {};
    EXPECT_TRUE(cAuditTrail::Instance().Open(options));
  }
  ~cProcessTrail() { cAuditTrail::Instance().Close(); }
  // Closes it; the command lines it holds.
  std::vector<std::string> CmdLines() {
    cAuditTrail::Instance().Close();
    std::vector<std::string> cmds;
    for (std::string& line : Lines())
      if (AuditField(line, "kind") == "cmd") cmds.push_back(std::move(line));
    return cmds;
  }
};

}  // namespace testkit
