#include "tessel_cli/cli_status.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "platform/text_clean.h"
#include "tessel_cli/cli_options.h"

namespace {

// Longer than any account or program name: a longer word is no name a process writes.
constexpr size_t kMostNameBytes = 128;
// The names of one line that are kept; the rest are only counted.
constexpr size_t kMostNamesKept = 1024;
// The most of a reason shown for a process that did not answer.
constexpr size_t kMostWhyBytes = 200;

// Letters, digits, "_.@?-" and printable characters beyond ASCII (a Chinese account name), as
// Status() writes a name.
bool IsName(std::string_view word) {
  if (word.empty() || word.size() > kMostNameBytes) return false;
  for (size_t at = 0; at < word.size();) {
    const char c = word[at];
    const size_t length = static_cast<unsigned char>(c) >= 0x80 ? PrintableCharAt(word, at) : 1;
    if (length == 0 || (length == 1 && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') &&
                        !(c >= '0' && c <= '9') && std::string_view("_.@?-").find(c) == word.npos))
      return false;
    at += length;
  }
  return true;
}

bool ReadNumber(std::string_view word, unsigned long long& value) {
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  return ec == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> Split(std::string_view text, char by) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t end = text.find(by, at);
    parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

// "global:up:350,map:down:0" or "-".
bool ReadUpLinks(std::string_view value, stProcessStatus& status) {
  if (value == "-") return true;
  for (std::string_view item : Split(value, ',')) {
    const std::vector<std::string_view> f = Split(item, ':');
    stProcessStatus::stUpLink link;
    if (f.size() != 3 || !IsName(f[0]) || (f[1] != "up" && f[1] != "down") ||
        !ReadNumber(f[2], link.rttUs))
      return false;
    link.name = f[0];
    link.up = f[1] == "up";
    if (status.up.size() + status.down.size() < kMostNamesKept)
      status.up.push_back(link);
    else
      ++status.unlisted;
  }
  return true;
}

bool ReadDownLinks(std::string_view value, stProcessStatus& status) {
  if (value == "-") return true;
  for (std::string_view name : Split(value, ',')) {
    if (!IsName(name)) return false;
    if (status.up.size() + status.down.size() < kMostNamesKept)
      status.down.emplace_back(name);
    else
      ++status.unlisted;
  }
  return true;
}

// The fields of one status line by name; false when a word is not "key=value".
bool Fields(std::string_view line, std::map<std::string_view, std::string_view>& fields) {
  for (std::string_view word : Split(line, ' ')) {
    const size_t eq = word.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == word.size()) return false;
    fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return true;
}

// The fields of a status line after its "status ".
bool ReadFields(std::string_view line, stProcessStatus& status) {
  std::map<std::string_view, std::string_view> f;
  if (!Fields(line, f)) return false;
  for (const char* key : {"name", "program", "version"})
    if (!IsName(f[key])) return false;
  status.name = f["name"];
  status.program = f["program"];
  status.version = f["version"];
  return ReadNumber(f["uptime_s"], status.uptimeS) && ReadNumber(f["links_up"], status.linksUp) &&
         ReadNumber(f["links_total"], status.linksTotal) &&
         ReadNumber(f["lateness_p99_us"], status.latenessP99Us) &&
         ReadNumber(f["queue"], status.queue) && ReadUpLinks(f["up"], status) &&
         ReadDownLinks(f["down"], status);
}

// Text of the client's own (control bytes escaped already) as a JSON string's content.
std::string JsonText(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string Duration(unsigned long long s) {
  char text[32];
  if (s >= 86400)
    std::snprintf(text, sizeof text, "%llud%02lluh", s / 86400, s % 86400 / 3600);
  else if (s >= 3600)
    std::snprintf(text, sizeof text, "%lluh%02llum", s / 3600, s % 3600 / 60);
  else if (s >= 60)
    std::snprintf(text, sizeof text, "%llum%02llus", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%llus", s);
  return text;
}

}  // namespace

bool ReadStatusLine(std::string_view text, stProcessStatus& status,
                    const std::function<bool(const std::string& name)>& wanted) {
  for (size_t at = 0; at < text.size();) {
    std::string_view line = text.substr(at);
    line = line.substr(0, line.find('\n'));
    at += line.size() + 1;
    stProcessStatus read;
    if (line.substr(0, 7) == "status " && ReadFields(line.substr(7), read) &&
        (wanted == nullptr || wanted(read.name))) {
      status = std::move(read);
      return true;
    }
  }
  return false;
}

void TakeJsonWord(std::vector<char*>& args, bool& json) {
  json = false;
  // The word is an option only where an option may stand: the value of -p or -c may be
  // "--json" too, and is left to be that value.
  for (size_t i = 1; i < args.size(); ++i) {
    if (stCliOptions::TakesValue(args[i])) {
      ++i;
    } else if (std::string_view(args[i]) == "--json") {
      json = true;
      args.erase(args.begin() + static_cast<long>(i));
      return;
    }
  }
}

int cStatusWalk::Run(bool json, std::FILE* out) {
  m_nodes.assign(1, stNode{});
  m_seen = {m_self};
  m_notAsked = 0;
  m_unansweredSecs = 0;
  m_askingSecs = 0;
  Visit(0);
  json ? PrintJson(out) : PrintText(out);
  std::fflush(out);
  const bool all =
      std::all_of(m_nodes.begin(), m_nodes.end(), [](const stNode& n) { return n.answered; });
  return all && m_notAsked == 0 ? 0 : 1;
}

// Asks the node, then walks to every process it names that was not seen yet: its client links
// first, then the accounts logged in on it.
void cStatusWalk::Visit(size_t index) {
  std::string text;
  double secs = 0;
  const bool asked = m_ask(m_nodes[index].hops, text, secs);
  stNode& node = m_nodes[index];
  node.replied = asked;
  node.answered = asked && ReadAnswer(text, index);
  // What the process's link or rights said: an account refused Status() was shown as a process
  // out of reach, and the operator went after the network.
  if (!asked) node.why = EscapeControls(text.substr(0, kMostWhyBytes));
  if (!node.answered) m_unansweredSecs += secs;
  m_askingSecs += secs;
  if (index == 0) {
    node.name = node.answered ? node.status.name : "?";
    node.rttMs = asked ? secs * 1000 : -1;
    m_seen.insert(node.name);
  } else if (node.answered) {
    node.rttMs = EdgeRttMs(m_nodes[static_cast<size_t>(node.parent)], node);
  }
  if (!node.answered) return;
  m_notAsked += node.status.unlisted;
  std::vector<std::string> next;
  for (const auto& link : node.status.up) next.push_back(link.name);
  next.insert(next.end(), node.status.down.begin(), node.status.down.end());
  for (const std::string& name : next) {
    if (m_seen.count(name) != 0) continue;
    // A process may name any number of others: the walk is bounded in processes and hops, and
    // so is what it remembers of the names it did not ask.
    if (m_nodes.size() >= kMostProcesses || m_nodes[index].depth >= kMostHops ||
        m_unansweredSecs >= kMostUnansweredSecs || m_askingSecs >= kMostAskingSecs) {
      if (m_seen.size() < kMostSeen) m_seen.insert(name);
      ++m_notAsked;
      continue;
    }
    m_seen.insert(name);
    stNode child;
    child.name = name;
    child.parent = static_cast<int>(index);
    child.depth = m_nodes[index].depth + 1;
    child.hops = m_nodes[index].hops;
    child.hops.push_back(name);
    m_nodes.push_back(child);
    Visit(m_nodes.size() - 1);
  }
  // The links were needed for the walk and the round trips to its children only.
  m_nodes[index].status.up = {};
  m_nodes[index].status.down = {};
}

// The answer of a process further on is its own status line. The line of a process asked
// before, which answered too late, may come ahead of it: a line naming another process of the
// walk is never taken. A process answers to its program's name as well as its account, so a
// line of another name is taken when none carries the name it was asked by.
bool cStatusWalk::ReadAnswer(std::string_view text, size_t index) {
  stNode& node = m_nodes[index];
  if (index == 0) return ReadStatusLine(text, node.status);
  return ReadStatusLine(text, node.status,
                        [&node](const std::string& name) { return name == node.name; }) ||
         ReadStatusLine(text, node.status,
                        [this](const std::string& name) { return m_seen.count(name) == 0; });
}

// The round trip of the link between the two, as the side that connects measures it.
double cStatusWalk::EdgeRttMs(const stNode& parent, const stNode& child) const {
  for (const auto& link : parent.status.up)
    if (link.name == child.name && link.rttUs > 0) return link.rttUs / 1000.0;
  for (const auto& link : child.status.up)
    if (link.name == parent.name && link.rttUs > 0) return link.rttUs / 1000.0;
  return -1;
}

void cStatusWalk::PrintText(std::FILE* out) const {
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    const stNode& node = m_nodes[i];
    // The branches of the ancestors that have later children, then this node's own.
    std::string indent;
    for (int at = node.parent; at > 0; at = m_nodes[static_cast<size_t>(at)].parent) {
      const bool more = std::any_of(
          m_nodes.begin() + static_cast<long>(i) + 1, m_nodes.end(),
          [&](const stNode& n) { return n.parent == m_nodes[static_cast<size_t>(at)].parent; });
      indent.insert(0, more ? "│  " : "   ");
    }
    if (node.parent >= 0) {
      const bool last = std::none_of(m_nodes.begin() + static_cast<long>(i) + 1, m_nodes.end(),
                                     [&](const stNode& n) { return n.parent == node.parent; });
      indent += last ? "└─ " : "├─ ";
    }
    // One that answered without a status line (a program without Status(), or another
    // version's line) is reachable: saying otherwise sends the operator after the network.
    if (!node.answered) {
      std::fprintf(out, "%s%s  %s%s%s%s\n", indent.c_str(), node.name.c_str(),
                   node.replied ? "answered without a status line" : "unreachable",
                   node.why.empty() ? "" : " (", node.why.c_str(), node.why.empty() ? "" : ")");
      continue;
    }
    const stProcessStatus& s = node.status;
    char rtt[32] = "-";
    if (node.rttMs >= 0) std::snprintf(rtt, sizeof rtt, "%.1f ms", node.rttMs);
    std::fprintf(out,
                 "%s%s %s %s  up %s  links %llu/%llu  lateness p99 %.1f ms  queue %llu  rtt %s\n",
                 indent.c_str(), node.name.c_str(), s.program.c_str(), s.version.c_str(),
                 Duration(s.uptimeS).c_str(), s.linksUp, s.linksTotal, s.latenessP99Us / 1000.0,
                 s.queue, rtt);
  }
  if (m_notAsked > 0)
    std::fprintf(out,
                 "%zu more processes not asked: the walk stops at %zu processes, %d hops, %d s "
                 "of questions without an answer or %d s of questions in all\n",
                 m_notAsked, kMostProcesses, kMostHops, kMostUnansweredSecs, kMostAskingSecs);
}

// The names and texts are of the reader's safe alphabet (printable UTF-8 beyond ASCII passes
// in JSON as it is), so they need no escaping.
void cStatusWalk::PrintJson(std::FILE* out) const {
  std::fprintf(out, "{\"processes\":[");
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    const stNode& node = m_nodes[i];
    const stProcessStatus& s = node.status;
    std::fprintf(out, "%s\n{\"name\":\"%s\",\"parent\":", i ? "," : "", node.name.c_str());
    if (node.parent < 0)
      std::fprintf(out, "null");
    else
      std::fprintf(out, "\"%s\"", m_nodes[static_cast<size_t>(node.parent)].name.c_str());
    std::fprintf(out, ",\"depth\":%d,\"reachable\":%s", node.depth,
                 node.answered ? "true" : "false");
    if (!node.answered && node.replied) std::fprintf(out, ",\"answered\":true");
    if (!node.why.empty()) std::fprintf(out, ",\"why\":\"%s\"", JsonText(node.why).c_str());
    if (node.answered)
      std::fprintf(out,
                   ",\"program\":\"%s\",\"version\":\"%s\",\"uptime_s\":%llu,\"links_up\":%llu,"
                   "\"links_total\":%llu,\"lateness_p99_ms\":%.3f,\"queue\":%llu",
                   s.program.c_str(), s.version.c_str(), s.uptimeS, s.linksUp, s.linksTotal,
                   s.latenessP99Us / 1000.0, s.queue);
    if (node.rttMs >= 0) std::fprintf(out, ",\"rtt_ms\":%.3f", node.rttMs);
    std::fprintf(out, "}");
  }
  std::fprintf(out, "\n]");
  if (m_notAsked > 0) std::fprintf(out, ",\"not_asked\":%zu", m_notAsked);
  std::fprintf(out, "}\n");
}
