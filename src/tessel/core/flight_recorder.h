// What the crash report shows of the work before a fault: the last 64 commands run (text with
// passwords masked, requester, time) and the headers of the last 64 records received (type,
// size, link, time), each in a flight ring. Writing costs a copy into a fixed slot; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tessel/contracts/netlib.h"
#include "tessel/core/flight_ring.h"

inline constexpr size_t kFlightEntries = 64;

// A command about to run: its text as it may be shown, and who asked for it.
struct stFlightCmd {
  int64_t timeMs;
  char requester[48];
  char text[208];
  void Format(cFixedLine& line) const;
};

// A record taken from a link's queue: its header and the link it came on.
struct stFlightRecord {
  int64_t timeMs;
  uint32_t size;
  uint16_t type;
  uint16_t linkId;
  char link[28];
  void Format(cFixedLine& line) const;
};

using cFlightCmdRing = cFlightRing<stFlightCmd, kFlightEntries>;
using cFlightRecordRing = cFlightRing<stFlightRecord, kFlightEntries>;

cFlightCmdRing& FlightCmds();
cFlightRecordRing& FlightRecords();

void FlightRecordCmd(const char* shownText, const char* requester);
// A record of `size` bytes received on `link` (may be null); one shorter than its header has
// type 0.
void FlightRecordReceived(const void* record, size_t size, iSend* link);
// Registers both rings with the crash report, the commands first.
void RegisterFlightRecorder();
