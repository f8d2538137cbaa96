#include "tessel/core/audit_verify.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "tessel/core/audit_chain.h"
#include "tessel/core/audit_line.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kChainMark = "\tchain=";
constexpr std::string_view kMacMark = "\tmac=";

struct stLine {
  std::string file;
  size_t number = 0;
  std::string text;  // without its line end
  bool whole = true;
  // Parsed; `parsed` false when the line does not have the trail's shape.
  bool parsed = false;
  std::string_view body;
  tAuditDigest chain{};
  tAuditDigest mac{};
  uint64_t seq = 0;
};

bool Parse(stLine& line) {
  const std::string_view text = line.text;
  const size_t chainAt = text.rfind(kChainMark);
  const size_t macAt = text.rfind(kMacMark);
  if (chainAt == std::string_view::npos || macAt == std::string_view::npos || macAt < chainAt)
    return false;
  line.body = text.substr(0, chainAt);
  const std::string_view chain =
      text.substr(chainAt + kChainMark.size(), macAt - chainAt - kChainMark.size());
  const std::string_view mac = text.substr(macAt + kMacMark.size());
  const std::string_view seq =
      line.body.substr(0, 4) == "seq=" ? AuditField(line.body, "seq") : std::string_view();
  if (seq.empty() || !std::all_of(seq.begin(), seq.end(), ::isdigit) || seq.size() > 19)
    return false;
  line.seq = std::stoull(std::string(seq));
  return AuditFromHex(chain, &line.chain) && AuditFromHex(mac, &line.mac);
}

bool ReadLines(const std::string& folder, std::vector<stLine>* lines, size_t* files,
               std::string* error) {
  std::vector<fs::path> paths;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file() && entry.path().extension() == ".audit")
      paths.push_back(entry.path());
  if (ec || paths.empty()) {
    *error = folder + ": no audit trail files (*.audit)";
    return false;
  }
  std::sort(paths.begin(), paths.end());
  *files = paths.size();
  for (const fs::path& path : paths) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    size_t at = 0;
    for (size_t number = 1; at < text.size(); ++number) {
      const size_t end = text.find('\n', at);
      stLine line;
      line.file = path.filename().string();
      line.number = number;
      line.whole = end != std::string::npos;
      line.text = text.substr(at, (line.whole ? end : text.size()) - at);
      lines->push_back(std::move(line));
      at = line.whole ? end + 1 : text.size();
    }
  }
  for (stLine& line : *lines) line.parsed = Parse(line);
  return true;
}

std::string Where(const stLine& line) {
  return line.file + " line " + std::to_string(line.number) + " (seq " + std::to_string(line.seq) +
         ")";
}

class cVerifier {
 public:
  cVerifier(std::vector<stLine>& lines, const std::string& key) : m_lines(lines), m_key(key) {}

  // The first fault, or empty.
  std::string Run(std::string* notes) {
    for (size_t i = 0; i < m_lines.size(); ++i) {
      const std::string fault = Check(i, notes);
      if (!fault.empty()) return fault;
    }
    if (m_lines.back().parsed && AuditField(m_lines.back().body, "kind") != "close")
      return "the trail stops without a closing line: cut after its last checkpoint, " +
             Where(m_lines[m_checkpoint]);
    return {};
  }

 private:
  const stLine* Next(size_t i) const {
    return i + 1 < m_lines.size() && m_lines[i + 1].parsed ? &m_lines[i + 1] : nullptr;
  }

  std::string Check(size_t i, std::string* notes) {
    const stLine& line = m_lines[i];
    const std::string where = line.file + " line " + std::to_string(line.number);
    if (!line.whole) return where + ": partial last line (the file was cut inside a line)";
    if (!line.parsed) return where + ": changed (not a line of the trail's form)";
    const uint64_t expected = m_seq + 1;
    const stLine* next = Next(i);
    if (line.seq > expected) {
      if (next != nullptr && next->seq == expected)
        return Where(line) + ": reordered (seq " + std::to_string(expected) + " follows it)";
      if (next == nullptr || next->seq == line.seq + 1)
        return Where(line) + ": " + std::to_string(line.seq - expected) +
               " line(s) removed before it (gap in the sequence after seq " +
               std::to_string(m_seq) + ")";
      return Where(line) + ": changed (its sequence number does not follow)";
    }
    if (line.seq < expected)
      return Where(line) + ": reordered or inserted (seq " + std::to_string(expected) +
             " was expected)";
    if (AuditChainNext(m_chain, line.body) != line.chain) {
      if (next != nullptr && AuditChainNext(m_chain, next->body) == next->chain)
        return Where(line) + ": inserted (the chain runs on without it)";
      return Where(line) + ": changed (its chain value does not match)";
    }
    if (!m_key.empty() && AuditMac(m_key, line.chain) != line.mac)
      return Where(line) + ": MAC does not match the key (the line was signed without it)";
    const std::string fault = CheckRun(i, notes);
    if (!fault.empty()) return fault;
    m_seq = line.seq;
    m_chain = line.chain;
    return {};
  }

  // Every run of the process ends with a closing line, or with a crash that the next start
  // found a report of.
  std::string CheckRun(size_t i, std::string* notes) {
    const stLine& line = m_lines[i];
    const std::string_view kind = AuditField(line.body, "kind");
    if (kind == "checkpoint" || kind == "open") m_checkpoint = i;
    if (kind != "open" || i == 0) return {};
    const stLine& before = m_lines[i - 1];
    if (AuditField(before.body, "kind") == "close") return {};
    if (AuditField(line.body, "prior") == "crash") {
      *notes += "the run ending at " + Where(before) + " ended in a crash (see its report)\n";
      return {};
    }
    return "the run before " + Where(line) +
           " stops without a closing line: cut after its last checkpoint, " +
           Where(m_lines[LastCheckpointBefore(i)]);
  }

  size_t LastCheckpointBefore(size_t i) const {
    for (size_t at = i; at-- > 0;) {
      const std::string_view kind = AuditField(m_lines[at].body, "kind");
      if (kind == "checkpoint" || kind == "open") return at;
    }
    return 0;
  }

  std::vector<stLine>& m_lines;
  const std::string& m_key;
  uint64_t m_seq = 0;
  tAuditDigest m_chain = kAuditGenesis;
  size_t m_checkpoint = 0;
};

}  // namespace

stAuditVerdict VerifyAuditTrail(const std::string& folder, const std::string& key) {
  stAuditVerdict verdict;
  std::vector<stLine> lines;
  if (!ReadLines(folder, &lines, &verdict.files, &verdict.reason)) return verdict;
  verdict.lines = lines.size();
  verdict.reason = cVerifier(lines, key).Run(&verdict.notes);
  verdict.holds = verdict.reason.empty();
  return verdict;
}
