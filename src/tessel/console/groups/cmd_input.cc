#include "tessel/console/groups/cmd_input.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/console_color.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/console/alias.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/help.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/text_file_util.h"

namespace fs = std::filesystem;

namespace {

constexpr int kColorLightBlue = 9;
// Black background, bright white text: how a batch leaves the console.
constexpr int kColorBatchEnd = platform::kColorBrightWhite;

void ShowAlias() {
  cAlias::Instance().Load();
  cAlias::Instance().Display(get_gout());
}

void ShowReplace() {
  cAlias::Instance().TraceReplace();
}

// The text of an alias or a replacement runs later in the lines of whoever types them (the
// console, a batch, ParseCmd), with that one's rights: an account held to rules sets one only
// when it may run anything itself, as @shell lets it.
void RequireShellToPlant(const char* func) {
  RequireCmdRight(func, eCmdRight::kShell);
}

// The echoes of aliases, replacements and batch lines show a password (of a Login or SetConnect
// call in them) masked, as every other echo of a command does.
void AddAlias(const char* word, const char* text) {
  RequireShellToPlant("AddAlias");
  std::cout << word << " = " << MaskCmdText(text) << std::endl;
  // The answer goes to whoever ran the command, over a link too: a requester told nothing took
  // an alias that was refused, or that the next start will not know, for one that was kept.
  switch (cAlias::Instance().AddAlias(word, text)) {
    case cAlias::eAdded::kSaved:
      break;
    case cAlias::eAdded::kRefused:
      get_gout() << "AddAlias refused: the word must be one word and the text one line, the "
                    "alias file at most 1 MiB"
                 << std::endl;
      break;
    case cAlias::eAdded::kNotSaved:
      get_gout() << "AddAlias not saved: alias/alias.txt could not be written, the alias holds "
                    "until the process ends"
                 << std::endl;
      break;
  }
}

void AddReplace(const char* from, const char* to) {
  RequireShellToPlant("AddReplace");
  std::cout << from << " = " << MaskCmdText(to) << std::endl;
  if (!cAlias::Instance().SetReplace(from, to))
    std::cout << "AddReplace refused: at most " << cAlias::kMaxReplacements
              << " replacements of 16 MiB in all" << std::endl;
}

const char* const kHelp[] = {
    "[输入命令]",
    "\t[别名]\t\t --- Alias()",
    "\t[替换]\t\t --- Replace()",
    "\t[添加别名]\t --- AddAlias('short','long')",
    "\t[添加替换]\t --- AddReplace('$N','opsuser')",
    "\t[批处理]\t --- Run('file')",
    "\t[远程批处理]\t --- RunRemote('file')",
    "\t打开节点\t --- Open('server1','server2',...)\t",
    "\t节点信息\t --- Info('server1','server2',...)\t",
    "\t修改日期\t --- Time('server1','server2',...)\t",
    "",
};

// A batch may run batches (a line "/3/Run('other')"), but not without end: a batch that runs
// itself would otherwise recurse until the stack overflows. Batches run on the worker only.
constexpr int kMaxBatchDepth = 8;
int g_batchDepth = 0;

class cBatchDepth {
 public:
  cBatchDepth() { ++g_batchDepth; }
  ~cBatchDepth() { --g_batchDepth; }
  cBatchDepth(const cBatchDepth&) = delete;
  cBatchDepth& operator=(const cBatchDepth&) = delete;
  bool TooDeep() const { return g_batchDepth > kMaxBatchDepth; }
};

// A batch's lines count towards the time of the command that runs it: past it no line runs
// more (lines that each run a batch would otherwise run lines**8 of them, for hours).
std::string OverdueText(const char* file) {
  return "run file " + EscapeControls(file) + " stopped: command time limit\n";
}

std::string TooDeepText(const char* file) {
  return "run file " + EscapeControls(file) + " refused: batches nested deeper than " +
         std::to_string(kMaxBatchDepth) + "\n";
}

// Whether the batch file could be opened as text at all: a regular file this process may read.
bool OpensAsText(const char* file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec) && ::access(file, R_OK) == 0;
}

// The batch file's lines, read whole and never waited on: a pipe in the maintenance roots would
// hold the worker until someone wrote to it. False with the line that says why: a file that does
// not open as text (not there, unreadable, a folder, a pipe) is "not found", as a batch always
// said, and the cause then follows in `detail`, a line of its own.
// A file found in a maintenance root is read only as long as it still lies there when opened.
bool ReadBatch(const char* file, const fs::path& root, std::istringstream& lines,
               std::string& error, std::string& detail) {
  std::string text, why;
  const platform::eHomeFile got =
      platform::ReadHomeFile(file, platform::kScriptFileBytes, text, &why, root.string());
  if (got == platform::eHomeFile::kRead) {
    // An editor's byte-order mark before the first line made it no command; a file saved as
    // UTF-16 is run as the text it holds.
    DecodeTextFile(text);
    lines.str(text);
    return true;
  }
  const bool opensButRefused = got == platform::eHomeFile::kRefused && OpensAsText(file);
  error = "run file " + (opensButRefused ? why : std::string(file) + " not found");
  if (got == platform::eHomeFile::kRefused && !opensButRefused) detail = "run file " + why;
  return false;
}

// The next line of a batch without the carriage returns a file saved on Windows ends it with:
// kept, "/tessel", "??" or an alias word on a line of its own was no such line.
bool NextBatchLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

// Lines are echoed unless they hand output back ("Out(...)"); a line shorter than two
// characters ends the batch.
void cCmdInput::Run(const char* file) {
  TESSEL_ASSERT_WORKER();
  const fs::path root = RequireShellOutsideRoots("Run", file);
  const cBatchDepth depth;
  std::istringstream in;
  std::string error, detail;
  if (depth.TooDeep()) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << TooDeepText(file);
  } else if (!ReadBatch(file, root, in, error, detail)) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << EscapeControls(error) << "\n";
    if (!detail.empty()) std::cout << EscapeControls(detail) << "\n";
  } else {
    platform::SetColor(platform::kColorYellow);
    std::cout << "[dofile] " << EscapeControls(file) << "\n";
    std::string line;
    while (NextBatchLine(in, line) && line.size() >= 2) {
      if (LuaCommandOverdue()) {
        std::cout << OverdueText(file);
        break;
      }
      if (line.size() <= 4 || line.compare(0, 4, "Out(") != 0) {
        platform::SetColor(kColorLightBlue);
        std::cout << MaskCmdText(line) << "\n";
        platform::SetColor(platform::kColorLightCyan);
      }
      const cAuditScope batch{cAuditScope::stWho(eAuditSource::Batch)};
      cTesselCmd::Instance().ParseCmd(line.c_str(), std::cout);
    }
    platform::SetColor(platform::kColorYellow);
    std::cout << "[dofile] " << EscapeControls(file) << " end "
              << "\n"
              << "\n";
  }
  platform::SetColor(kColorBatchEnd);
}

// Every line is run and reported to the requester, empty ones included.
void cCmdInput::RunRemote(const char* file) {
  TESSEL_ASSERT_WORKER();
  const fs::path root = RequireShellOutsideRoots("RunRemote", file);
  const cBatchDepth depth;
  if (depth.TooDeep()) {
    get_gout() << TooDeepText(file);
    return;
  }
  std::istringstream in;
  std::string error, detail;
  if (!ReadBatch(file, root, in, error, detail)) {
    get_gout() << error << "\n";
    if (!detail.empty()) get_gout() << detail << "\n";
    return;
  }
  get_gout() << "[dofile] " << file << "\n";
  std::string line;
  while (NextBatchLine(in, line)) {
    if (LuaCommandOverdue()) {
      get_gout() << OverdueText(file);
      break;
    }
    get_gout() << "\t" << MaskCmdText(line) << "\n";
    const cAuditScope batch{cAuditScope::stWho(eAuditSource::Batch)};
    cTesselCmd::Instance().ParseCmd(line.c_str(), std::cout);
  }
  get_gout() << "[dofile] " << file << " end "
             << "\n"
             << "\n";
}

cCmdInput& cCmdInput::Instance() {
  static cCmdInput s_cmd;
  return s_cmd;
}

void cCmdInput::Help() {
  PrintHelp(kHelp);
}

void cCmdInput::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdInput::Help);
  luareg::def<&cCmdInput::RunRemote>(L, "RunRemote");
  luareg::def<&cCmdInput::Run>(L, "Run");
  luareg::def<&ShowReplace>(L, "Replace");
  luareg::def<&ShowAlias>(L, "Alias");
  luareg::def<&AddReplace>(L, "AddReplace");
  luareg::def<&AddAlias>(L, "AddAlias");
}
