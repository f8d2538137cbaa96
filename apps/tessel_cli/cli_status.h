// The cluster view of "tessel_cli status HOST:PORT": walks the cluster from the process the
// client logged in to, along the routes remote commands use (each process's client links and
// the accounts logged in on it), asks every process once for its Status() line and prints one
// line per process as a tree, or the same as JSON. The answers are read as text by a strict
// reader of their fields; nothing of them is evaluated. Main thread.
#pragma once

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// One process's answer to Status().
struct stProcessStatus {
  struct stUpLink {
    std::string name;
    bool up = false;
    unsigned long long rttUs = 0;  // 0: not measured yet
  };
  std::string name, program, version;
  unsigned long long uptimeS = 0, linksUp = 0, linksTotal = 0, latenessP99Us = 0, queue = 0;
  std::vector<stUpLink> up;         // its client links
  std::vector<std::string> down;    // the accounts logged in on it
  unsigned long long unlisted = 0;  // names past the most a line is read for, only counted
};

// Reads the first line of `text` that starts with "status " and whose name `wanted` takes (any
// name without it): every field as Status() writes it, names of letters, digits, "_.@?-"
// and printable UTF-8 beyond ASCII only, of at most 128 bytes; of the names of links, the first
// 1024 are kept and the rest counted. False when there is no such line with every field well
// formed.
bool ReadStatusLine(std::string_view text, stProcessStatus& status,
                    const std::function<bool(const std::string& name)>& wanted = nullptr);

// Takes the option "--json" out of the arguments (after the first; not where it is the value
// of an option); `json` tells whether it was there.
void TakeJsonWord(std::vector<char*>& args, bool& json);

class cStatusWalk {
 public:
  // Asks the process at the end of `hops` (the names after the process logged in to; none: that
  // process) for its Status() answer. True with the answer's text and the seconds it took;
  // false when no answer came, with why in `text` (refused, no answer in time; may be empty).
  using AskFunc =
      std::function<bool(const std::vector<std::string>& hops, std::string& text, double& secs)>;

  // `self`: the client's own account, which is logged in on the first process and is no
  // process of the cluster.
  cStatusWalk(AskFunc ask, std::string self) : m_ask(std::move(ask)), m_self(std::move(self)) {}

  // Walks the cluster and prints it to `out`. The exit code: 0 when every process answered, 1
  // when one did not (it is shown as unreachable) or processes named beyond the walk's bounds
  // (processes, hops, seconds of questions) were not asked (a last line, or "not_asked", says
  // how many).
  int Run(bool json, std::FILE* out);

 private:
  struct stNode {
    std::string name;
    int parent = -1;
    int depth = 0;
    std::vector<std::string> hops;
    bool answered = false;  // with a status line it was read
    bool replied = false;   // its question got an answer, a status line or not
    std::string why;        // why its question got no answer; empty when not known
    stProcessStatus status;
    double rttMs = -1;  // to its parent; -1: not known
  };
  void Visit(size_t index);
  // Reads node `index`'s status from the text its question got; false when it holds none.
  bool ReadAnswer(std::string_view text, size_t index);
  double EdgeRttMs(const stNode& parent, const stNode& child) const;
  void PrintText(std::FILE* out) const;
  void PrintJson(std::FILE* out) const;

  // The most processes walked, and the most hops from the first.
  static constexpr size_t kMostProcesses = 1024;
  static constexpr int kMostHops = 32;
  // Each process that does not answer costs the walk a whole wait: once the questions without an
  // answer took this long in all, no further process is asked (logged-in clients, which never
  // answer, or a server naming processes that do not exist, would hold the operator for hours).
  static constexpr int kMostUnansweredSecs = 60;
  // Answers that each come just before the wait ends hold the operator too: once all questions
  // took this long, no further process is asked either.
  static constexpr int kMostAskingSecs = 300;
  // The most names remembered, asked or not.
  static constexpr size_t kMostSeen = 16 * kMostProcesses;

  AskFunc m_ask;
  std::string m_self;
  std::vector<stNode> m_nodes;  // in tree order
  std::set<std::string> m_seen;
  size_t m_notAsked = 0;        // processes named beyond the bounds
  double m_unansweredSecs = 0;  // what the questions that got no answer took
  double m_askingSecs = 0;      // what all questions took
};
