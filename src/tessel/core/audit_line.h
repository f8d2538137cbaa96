// The lines of the audit trail as text: one line per event, fields `key=value` separated by
// tabs, every value escaped so that it holds no tab, line end or other control byte. The writer
// puts "seq=N" in front and the chain value and its MAC behind:
//   seq=N  time=...Z  kind=cmd  source=  origin=account@process  peer=  cert=  route=
//   [uncarried=]  group=  outcome=ran|refused|error  right=  result=  us=  out=  len=  text=
//   chain=  mac=
// ("uncarried" only on the line of a command that sent commands on to peers that could not take
// its origin: those peers ran them as coming from this process's account.)
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Where a command text came from.
enum class eAuditSource { Local, Console, Peer, Routed, Batch, Alias, Script, Timer };
enum class eAuditOutcome { Ran, Refused, Error };

const char* AuditSourceName(eAuditSource source);
const char* AuditOutcomeName(eAuditOutcome outcome);

// One command text run, as it is recorded. Empty texts are written "-".
struct stAuditEvent {
  int64_t timeUs = 0;  // UTC, microseconds since 1970
  eAuditSource source = eAuditSource::Local;
  std::string_view origin;  // account@process
  std::string_view peer;    // the link's peer address
  std::string_view cert;    // SHA-256 fingerprint of the peer's TLS certificate
  std::string_view route;
  std::string_view uncarried;  // the peers it sent commands to without its origin ("a,b")
  std::string_view group;
  eAuditOutcome outcome = eAuditOutcome::Ran;
  std::string_view right;  // the right a refusal names ("@shell")
  int result = -1;         // the handling's result code for a received record; -1 none
  uint64_t durationUs = 0;
  int64_t outputBytes = -1;  // -1: the output was not collected (it went to the console)
  std::string_view text;     // as run; the line shows it masked and capped
  size_t textLength = 0;     // the whole text's length when `text` holds only its start
  // timeUs and durationUs are counts of cAuditTrail::Ticks() (the time: when the run ended),
  // which the trail's writer turns into microseconds.
  bool inTicks = false;
};

// An event as the queue to the writer holds it: its numbers and the first bytes of each text,
// copied without allocating (the writer formats the line). Returns the bytes used of `out`.
size_t PackAuditEvent(const stAuditEvent& event, char* out, size_t cap);
// The event of a packed one; its texts point into `packed`. False when it is not one.
bool UnpackAuditEvent(std::string_view packed, stAuditEvent* event);

// Bytes of a line's text the trail keeps; the line's "len" tells the whole length.
inline constexpr size_t kAuditTextBytes = 256;

// "2026-12-07T14:32:45.123456Z".
std::string AuditTime(int64_t timeUs);
void AppendAuditTime(std::string& out, int64_t timeUs);
// A value escaped for a line: "-" when empty; '\\', tabs, line ends, every other control byte
// (C1 ones too, raw or encoded) and every byte outside a well-formed UTF-8 character as \xHH.
std::string AuditValue(std::string_view value);
void AppendAuditValue(std::string& out, std::string_view value);

// The line of a command, without its sequence number, chain value and MAC.
std::string FormatAuditCmd(const stAuditEvent& event);
void AppendAuditCmd(std::string& line, const stAuditEvent& event);
// The line of a trail event of its own kind (open, close, checkpoint, dropped) with further
// fields already joined ("count=3"), or none.
std::string FormatAuditMark(int64_t timeUs, std::string_view kind, std::string_view fields);

// The value of field `key` of a line, or empty when it has none.
std::string_view AuditField(std::string_view line, std::string_view key);

// The right a refusal message names ("... (needs @shell)" gives "@shell"); empty when the
// message is not a refusal ("refused: " somewhere in it). `refused` tells whether it is one.
std::string_view AuditRefusedRight(std::string_view message, bool* refused);
