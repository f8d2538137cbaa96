#include "tessel/core/flight_recorder.h"

#include <cstddef>
#include <cstring>

namespace {

// Copies text into a fixed field, cut to fit.
template <size_t N>
void CopyField(char (&field)[N], const char* text) {
  const size_t n = text != nullptr ? strnlen(text, N - 1) : 0;
  std::memcpy(field, text, n);
  field[n] = '\0';
}

// Copies a field into a line with its control bytes shown as '.', so that one entry stays one
// line of the report whatever the text held.
void AddPrintable(cFixedLine& line, const char* field) {
  char shown[256];
  size_t n = 0;
  for (; field[n] != '\0' && n < sizeof shown; ++n) {
    const auto c = static_cast<unsigned char>(field[n]);
    shown[n] = c < 0x20 || c == 0x7F ? '.' : field[n];
  }
  line.Bytes(shown, n);
}

}  // namespace

void stFlightCmd::Format(cFixedLine& line) const {
  line.Time(timeMs).Str("  ");
  AddPrintable(line, requester);
  line.Str("  ");
  AddPrintable(line, text);
}

void stFlightRecord::Format(cFixedLine& line) const {
  line.Time(timeMs).Str("  type ").Dec(type).Str(" size ").Dec(size).Str(" link ");
  AddPrintable(line, link);
  line.Str("#").Dec(linkId);
}

cFlightCmdRing& FlightCmds() {
  static cFlightCmdRing ring("Last commands run (time, requester, command)");
  return ring;
}

cFlightRecordRing& FlightRecords() {
  static cFlightRecordRing ring("Last records received (time, type, size, link)");
  return ring;
}

void FlightRecordCmd(const char* shownText, const char* requester) {
  stFlightCmd entry;
  entry.timeMs = FlightNowMs();
  CopyField(entry.requester, requester);
  CopyField(entry.text, shownText);
  FlightCmds().Add(entry, offsetof(stFlightCmd, text) + std::strlen(entry.text) + 1);
}

void FlightRecordReceived(const void* record, size_t size, iSend* link) {
  stFlightRecord entry;
  entry.timeMs = FlightNowMs();
  entry.size = static_cast<uint32_t>(size);
  entry.type = 0;
  if (size >= sizeof entry.type) std::memcpy(&entry.type, record, sizeof entry.type);
  entry.linkId = link != nullptr ? link->GetID() : 0;
  CopyField(entry.link, link != nullptr ? link->GetName() : "");
  FlightRecords().Add(entry);
}

void RegisterFlightRecorder() {
  RegisterFlightRing(&FlightCmds());
  RegisterFlightRing(&FlightRecords());
}
