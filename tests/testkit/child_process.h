// Runs this test program again as a child process that plays one named scenario, from a copy
// placed in a temporary folder (so the copy's own folder can hold a report tool).
#pragma once

#include <functional>
#include <string>
#include <vector>

// A scenario runs in the child with the working directory set to TESSEL_HOME; its result is
// the child's exit code.
bool RegisterChildScenario(const std::string& name, std::function<int()> body);

#define TESSEL_CHILD_SCENARIO(name)                                                             \
  static int ChildScenario_##name();                                                            \
  static const bool kChildScenario_##name = RegisterChildScenario(#name, ChildScenario_##name); \
  static int ChildScenario_##name()

struct stChildResult {
  bool exited = false;  // ended by exit (code) rather than by a signal (signo)
  int code = -1;
  int signo = 0;
  std::string out;  // what the child wrote to standard output and error
};

// A fresh folder under /tmp, removed with its contents by the destructor.
class cTempDir {
 public:
  cTempDir();
  ~cTempDir();
  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Every text occurs in `out`, in this order (a failed expectation names the first missing one).
void ExpectInOrder(const std::string& out, const std::vector<std::string>& texts);
// The file's content once it is not empty, waiting at most timeoutMs for it.
std::string WaitForFile(const std::string& path, int timeoutMs = 5000);

// Copies this program into dir, adds a report tool there when withTool (it writes its
// arguments to "xcrash_args.txt"), runs the scenario with TESSEL_HOME and TESSEL_REGISTRY under
// dir, and waits at most timeoutMs (then the child is killed).
stChildResult RunChildScenario(const std::string& dir, const std::string& scenario, bool withTool,
                               int timeoutMs = 30000);
