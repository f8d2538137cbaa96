// Records every message and network event the host's links receive into a replay file
// ("Replay/<name>/<local time>.rep", always a new file). Installed as the network callbacks'
// recorder once recording starts; recording then stays on for the life of the object, unless a
// record cannot be written (a full disk) or would take the file past "record_max_mbytes" of the
// configuration, which ends the file after its last whole record and turns recording off. Any
// thread (writes are serialised); the process-wide instance excludes replaying through
// cNetReplay::Instance().
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "tessel/link/net_help.h"

class cNetReplay;

// The folder that holds every replay file; record and replay names are confined to it.
inline constexpr const char* kReplayFolder = "Replay";

class cNetRecord : public iNetRecorder {
 public:
  using ClockFunc = uint32_t (*)();

  // The process's recorder; its replayer is cNetReplay::Instance().
  static cNetRecord& Instance();
  // A recorder that refuses to start while `replay` (the process's replayer when null) plays;
  // `clock` stands in for the millisecond clock (tests).
  explicit cNetRecord(const cNetReplay* replay = nullptr, ClockFunc clock = nullptr);
  ~cNetRecord();
  cNetRecord(const cNetRecord&) = delete;
  cNetRecord& operator=(const cNetRecord&) = delete;

  // Creates the file and turns recording on; false while a replay plays, for a name that leads
  // out of the replay folder, or when the file cannot be created (retried while an operator at
  // the terminal asks for it, except on the worker).
  bool StartRecord(const char* name);

  bool IsRecording() override { return m_bRecord.load(); }
  bool IsRecordOn() const { return m_bRecord.load(); }
  // A notice (kind 1) or peer record (kind 2) as the network callback handled it.
  void Record(int kind, const void* data, unsigned long size, unsigned int linkId,
              const char* linkName) override;
  // A state event made up by the caller (kind 3): link id, state and reason.
  void RecordNetState(unsigned int linkId, unsigned int state, unsigned int reason,
                      const char* linkName);

  std::string GetName() const;
  // The file being written; empty before StartRecord succeeded.
  std::string GetPath() const;

 private:
  bool CreateRecord();
  void Write(uint32_t kind, const void* data, uint32_t size, unsigned int linkId,
             const char* linkName);
  const cNetReplay& Replay() const;
  // Under the lock: closes the file, cut back to `size` bytes when that is not negative, turns
  // recording off and says why.
  void EndRecording(off_t size, const std::string& why);

  const cNetReplay* m_pReplay;
  ClockFunc m_clock;
  mutable std::mutex m_lock;  // guards the file, the name and the path
  std::FILE* m_pFile = nullptr;
  std::string m_strName;
  std::string m_strPath;
  std::atomic<bool> m_bRecord{false};
};
