// Helpers for the replay tests: a settable millisecond clock, a writer of replay files laid out
// byte by byte, and a finder with fixed answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tessel/replay/net_record.h"
#include "tessel/replay/net_replay.h"

namespace replaytest {

// The clock the tests set; FakeClock reads it.
inline std::atomic<uint32_t> g_now{0};
inline uint32_t FakeClock() {
  return g_now.load();
}

inline void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
inline uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4 && at + i < bytes.size(); ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

struct stFileRecord {
  uint32_t clock, kind;
  std::string name;  // written as given: the writer does not cut it
  uint32_t linkId;
  std::string data;
};
// The bytes of a replay file: header (version 1, start clock, calendar time 0) and records.
inline std::string ReplayBytes(uint32_t startClock, const std::vector<stFileRecord>& records) {
  std::string out;
  for (uint32_t word : {1u, startClock, 0u}) PutU32(out, word);
  for (const auto& r : records) {
    PutU32(out, r.clock);
    PutU32(out, r.kind);
    out += r.name + std::string(32 - std::min<size_t>(32, r.name.size()), '\0');
    PutU32(out, r.linkId);
    PutU32(out, static_cast<uint32_t>(r.data.size()));
    out += r.data;
  }
  return out;
}

// Names lead to callbacks; server links and client links to the iSend given for them.
struct cFixedFind : iCallbackFind {
  template <class K, class V>
  static V Find(const std::map<K, V>& map, const K& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
  }
  iSend* FindServerLink(const char* name, unsigned id) override {
    return Find(serverLinks, {name, id});
  }
  iSend* FindClientLink(const char* name) override { return Find(clientLinks, {name}); }
  iCallbackNet* FindCallback(const char* name) override { return Find(callbacks, {name}); }
  std::map<std::string, iCallbackNet*> callbacks;
  std::map<std::pair<std::string, unsigned>, iSend*> serverLinks;
  std::map<std::string, iSend*> clientLinks;
};

// A recorder and a replayer of their own that exclude each other (not the process's pair).
struct stRecordReplay {
  stRecordReplay(iCallbackFind* find, cNetReplay::ClockFunc clock = nullptr)
      : replay(find, &record, clock) {}
  cNetRecord record{&replay, &FakeClock};
  cNetReplay replay;
};

}  // namespace replaytest
