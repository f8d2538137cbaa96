// Helpers for the replay tests: a settable millisecond clock, a writer of replay files laid out
// byte by byte, and a finder with fixed answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tessel/replay/net_record.h"
#include "tessel/replay/net_replay.h"

namespace replaytest {

// The clock the tests set; FakeClock reads it.
extern std::atomic<uint32_t> g_now;
uint32_t FakeClock();

// Polls `done` every millisecond for at most `ms`; whether it held.
bool WaitUntil(const std::function<bool()>& done, int ms = 5000);

struct stFileRecord {
  uint32_t clock;
  uint32_t kind;
  std::string name;  // written as given: the writer does not cut it
  uint32_t linkId;
  std::string data;
};
// The bytes of a replay file: header (version 1, start clock, calendar time 0) and records.
std::string ReplayBytes(uint32_t startClock, const std::vector<stFileRecord>& records);
uint32_t U32At(const std::string& bytes, size_t at);

// Names lead to callbacks; server links and client links to the iSend given for them.
class cFixedFind : public iCallbackFind {
 public:
  std::map<std::string, iCallbackNet*> callbacks;
  std::map<std::pair<std::string, unsigned>, iSend*> serverLinks;
  std::map<std::string, iSend*> clientLinks;
  iSend* FindServerLink(const char* name, unsigned int id) override;
  iSend* FindClientLink(const char* name) override;
  iCallbackNet* FindCallback(const char* name) override;
};

// A recorder and a replayer of their own that exclude each other (not the process's pair).
struct stRecordReplay {
  stRecordReplay(iCallbackFind* find, cNetReplay::ClockFunc clock = nullptr)
      : replay(find, &record, clock) {}
  cNetRecord record{&replay, &FakeClock};
  cNetReplay replay;
};

}  // namespace replaytest
