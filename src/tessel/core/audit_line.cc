#include "tessel/core/audit_line.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/text_clean.h"
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

namespace {

// Digits of `value` at the end of `out`.
void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto done = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, done.ptr);
}

// A value, or "-" when negative (not known).
void AppendKnown(std::string& out, int64_t value) {
  if (value < 0)
    out += '-';
  else
    AppendNumber(out, static_cast<uint64_t>(value));
}

// True when every byte is printable ASCII other than the backslash: such a value is its own
// escaped form.
bool PlainAscii(std::string_view value) {
  for (char c : value)
    if (c < 0x20 || c > 0x7E || c == '\\') return false;
  return true;
}

void AppendField(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  AppendAuditValue(out, value);
}

}  // namespace

void AppendAuditTime(std::string& out, int64_t timeUs) {
  int64_t secs = timeUs / 1000000;
  int64_t micros = timeUs % 1000000;
  if (micros < 0) {
    micros += 1000000;
    --secs;
  }
  // A line's second is usually the one before it: its text is made once.
  thread_local int64_t t_second = INT64_MIN;
  thread_local char t_text[40];
  thread_local size_t t_length = 0;
  if (secs != t_second) {
    const time_t whole = static_cast<time_t>(secs);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    t_length = std::strftime(t_text, sizeof t_text, "%Y-%m-%dT%H:%M:%S", &utc);
    t_second = secs;
  }
  out.append(t_text, t_length);
  char fraction[9] = {'.', '0', '0', '0', '0', '0', '0', 'Z', '\0'};
  for (int i = 6; i >= 1 && micros > 0; --i, micros /= 10)
    fraction[i] = static_cast<char>('0' + micros % 10);
  out.append(fraction, 8);
}

std::string AuditTime(int64_t timeUs) {
  std::string text;
  AppendAuditTime(text, timeUs);
  return text;
}

void AppendAuditValue(std::string& out, std::string_view value) {
  if (value.empty()) {
    out += '-';
    return;
  }
  if (PlainAscii(value)) {
    out += value;
    return;
  }
  // A backslash is written as \x5C, so that every \xNN of a line is one the trail wrote; the
  // parts between backslashes have their controls escaped.
  for (size_t from = 0;;) {
    const size_t slash = value.find('\\', from);
    AppendEscapedControls(out, value.substr(from, slash - from));
    if (slash == std::string_view::npos) break;
    out += "\\x5C";
    from = slash + 1;
  }
}

std::string AuditValue(std::string_view value) {
  std::string out;
  AppendAuditValue(out, value);
  return out;
}

void AppendAuditCmd(std::string& line, const stAuditEvent& e) {
  line += "time=";
  AppendAuditTime(line, e.timeUs);
  line += "\tkind=cmd\tsource=";
  line += AuditSourceName(e.source);
  AppendField(line, "\torigin=", e.origin);
  AppendField(line, "\tpeer=", e.peer);
  AppendField(line, "\tcert=", e.cert);
  AppendField(line, "\troute=", e.route);
  if (!e.uncarried.empty()) AppendField(line, "\tuncarried=", e.uncarried);
  AppendField(line, "\tgroup=", e.group);
  line += "\toutcome=";
  line += AuditOutcomeName(e.outcome);
  AppendField(line, "\tright=", e.right);
  line += "\tresult=";
  AppendKnown(line, e.result);
  line += "\tus=";
  AppendNumber(line, e.durationUs);
  line += "\tout=";
  AppendKnown(line, e.outputBytes);
  const size_t length = std::max(e.textLength, e.text.size());
  line += "\tlen=";
  AppendNumber(line, length);
  // Only a text naming Login or SetConnect may hold a password to mask.
  const bool secret = SecretWordAt(e.text) != std::string_view::npos;
  std::string masked = secret ? MaskCmdText(e.text) : std::string();
  std::string_view shown = secret ? std::string_view(masked) : e.text;
  if (shown.size() > kAuditTextBytes) {
    size_t cut = kAuditTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut);
  }
  line += "\ttext=";
  if (shown.size() < length && shown.size() == std::min(e.text.size(), kAuditTextBytes)) {
    std::string cut(shown);
    cut += " ...(";
    AppendNumber(cut, length);
    cut += " bytes)";
    AppendAuditValue(line, cut);
  } else {
    AppendAuditValue(line, shown);
  }
}

std::string FormatAuditCmd(const stAuditEvent& event) {
  std::string line;
  AppendAuditCmd(line, event);
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

namespace {

// The numbers of a packed event, then its texts, each a 16-bit length and its bytes.
struct stPackedHead {
  int64_t timeUs;
  uint64_t durationUs;
  int64_t outputBytes;
  uint64_t textLength;
  int32_t result;
  uint8_t source;
  uint8_t outcome;
  uint8_t inTicks;
};
constexpr size_t kPackedTexts = 8;
// Bytes each text but the command's keeps.
constexpr size_t kFieldBytes = 96;

// The compiler copies a text of bounded size inline with a string instruction that starts
// slowly (most of a command's packing time went there); the library's copy is several times
// faster for these short texts.
[[gnu::noinline]] void CopyText(char* to, const char* from, size_t size) {
  std::memcpy(to, from, size);
}

bool PackText(std::string_view text, size_t keep, char*& at, const char* end) {
  auto size = static_cast<uint16_t>(std::min({text.size(), keep, size_t{0xFFFF}}));
  // A text cut short is cut before a character, never inside one.
  while (size > 0 && size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
    --size;
  if (end - at < static_cast<ptrdiff_t>(sizeof size + size)) return false;
  std::memcpy(at, &size, sizeof size);
  if (size > 0) CopyText(at + sizeof size, text.data(), size);  // an empty view may hold null
  at += sizeof size + size;
  return true;
}

bool UnpackText(std::string_view& rest, std::string_view* text) {
  uint16_t size = 0;
  if (rest.size() < sizeof size) return false;
  std::memcpy(&size, rest.data(), sizeof size);
  if (rest.size() < sizeof size + size) return false;
  *text = rest.substr(sizeof size, size);
  rest.remove_prefix(sizeof size + size);
  return true;
}

}  // namespace

size_t PackAuditEvent(const stAuditEvent& e, char* out, size_t cap) {
  if (cap < sizeof(stPackedHead)) return 0;
  const stPackedHead head{e.timeUs,
                          e.durationUs,
                          e.outputBytes,
                          std::max<uint64_t>(e.textLength, e.text.size()),
                          e.result,
                          static_cast<uint8_t>(e.source),
                          static_cast<uint8_t>(e.outcome),
                          static_cast<uint8_t>(e.inTicks)};
  std::memcpy(out, &head, sizeof head);
  char* at = out + sizeof head;
  const char* end = out + cap;
  const std::string_view texts[kPackedTexts] = {e.origin,    e.peer,  e.cert,  e.route,
                                                e.uncarried, e.group, e.right, e.text};
  for (size_t i = 0; i < kPackedTexts; ++i)
    if (!PackText(texts[i], i + 1 < kPackedTexts ? kFieldBytes : kAuditTextBytes, at, end))
      return 0;
  return static_cast<size_t>(at - out);
}

bool UnpackAuditEvent(std::string_view packed, stAuditEvent* e) {
  stPackedHead head{};
  if (packed.size() < sizeof head) return false;
  std::memcpy(&head, packed.data(), sizeof head);
  packed.remove_prefix(sizeof head);
  e->timeUs = head.timeUs;
  e->durationUs = head.durationUs;
  e->outputBytes = head.outputBytes;
  e->textLength = head.textLength;
  e->result = head.result;
  e->source = static_cast<eAuditSource>(head.source);
  e->outcome = static_cast<eAuditOutcome>(head.outcome);
  e->inTicks = head.inTicks != 0;
  std::string_view* texts[kPackedTexts] = {&e->origin,    &e->peer,  &e->cert,  &e->route,
                                           &e->uncarried, &e->group, &e->right, &e->text};
  for (std::string_view* text : texts)
    if (!UnpackText(packed, text)) return false;
  return true;
}
