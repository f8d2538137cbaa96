#include "tessel/core/audit_line.h"

#include <ctime>

#include "tessel/core/login_text.h"

const char* AuditSourceName(eAuditSource source) {
  switch (source) {
    case eAuditSource::Console:
      return "console";
    case eAuditSource::Peer:
      return "peer";
    case eAuditSource::Routed:
      return "routed";
    case eAuditSource::Batch:
      return "batch";
    case eAuditSource::Alias:
      return "alias";
    case eAuditSource::Script:
      return "script";
    case eAuditSource::Timer:
      return "timer";
    case eAuditSource::Local:
      break;
  }
  return "local";
}

const char* AuditOutcomeName(eAuditOutcome outcome) {
  switch (outcome) {
    case eAuditOutcome::Refused:
      return "refused";
    case eAuditOutcome::Error:
      return "error";
    case eAuditOutcome::Ran:
      break;
  }
  return "ran";
}

std::string AuditTime(int64_t timeUs) {
  const time_t secs = static_cast<time_t>(timeUs / 1000000);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char micros[16];
  std::snprintf(micros, sizeof micros, ".%06dZ", static_cast<int>(timeUs % 1000000));
  return std::string(text, n) + micros;
}

std::string AuditValue(std::string_view value) {
  if (value.empty()) return "-";
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
      out += c;
      continue;
    }
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

std::string FormatAuditCmd(const stAuditEvent& e) {
  std::string line = "time=" + AuditTime(e.timeUs) + "\tkind=cmd\tsource=";
  line += AuditSourceName(e.source);
  line += "\torigin=" + AuditValue(e.origin);
  line += "\tpeer=" + AuditValue(e.peer);
  line += "\tcert=" + AuditValue(e.cert);
  line += "\troute=" + AuditValue(e.route);
  line += "\tgroup=" + AuditValue(e.group);
  line += "\toutcome=";
  line += AuditOutcomeName(e.outcome);
  line += "\tright=" + AuditValue(e.right);
  line += "\tresult=" + (e.result < 0 ? std::string("-") : std::to_string(e.result));
  line += "\tus=" + std::to_string(e.durationUs);
  line += "\tout=" + (e.outputBytes < 0 ? std::string("-") : std::to_string(e.outputBytes));
  line += "\tlen=" + std::to_string(e.text.size());
  line += "\ttext=" + AuditValue(LogCmdText(e.text));
  return line;
}

std::string FormatAuditMark(int64_t timeUs, std::string_view kind, std::string_view fields) {
  std::string line = "time=" + AuditTime(timeUs) + "\tkind=" + std::string(kind);
  if (!fields.empty()) line += "\t" + std::string(fields);
  return line;
}

std::string_view AuditField(std::string_view line, std::string_view key) {
  size_t at = 0;
  while (at <= line.size()) {
    size_t end = line.find('\t', at);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view field = line.substr(at, end - at);
    if (field.size() > key.size() && field.substr(0, key.size()) == key && field[key.size()] == '=')
      return field.substr(key.size() + 1);
    at = end + 1;
  }
  return {};
}

std::string_view AuditRefusedRight(std::string_view message, bool* refused) {
  *refused = message.find("refused: ") != std::string_view::npos;
  if (!*refused) return {};
  const size_t needs = message.find("(needs ");
  if (needs == std::string_view::npos) return {};
  const size_t start = needs + 7;
  const size_t end = message.find(')', start);
  if (end == std::string_view::npos) return {};
  return message.substr(start, end - start);
}
