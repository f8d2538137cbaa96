// Feeds a replay file back into the links: each record is handed, when its time has come, to
// the network callback of the link of the same name, as if the network library delivered it
// again; the link's own thread then handles it like live traffic. Owns the open file and the
// replay thread. StartReplay, SetSpeed and the queries: any thread; Step: the replay thread
// (or the caller that started without one).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/core/thread.h"
#include "tessel/replay/replay_file.h"

class cNetRecord;

// Finds where a replayed record goes. Called on the replay thread.
class iCallbackFind {
 public:
  // The link of that id on the named server; null when it has none.
  virtual iSend* FindServerLink(const char* name, unsigned int id) = 0;
  // The network client of the named client link; null when there is none.
  virtual iSend* FindClientLink(const char* name) = 0;
  // The network callback that takes the named link's traffic; null drops the record.
  virtual iCallbackNet* FindCallback(const char* name) = 0;
  // A replay of a file starts: what the finder kept about the links of an earlier one is void.
  virtual void OnReplayStart() {}

 protected:
  ~iCallbackFind() = default;
};

class cNetReplay : public cThreadCallback {
 public:
  using ClockFunc = uint32_t (*)();
  enum StepResult { Step_Delivered, Step_Waiting, Step_End };

  // The process's replayer: it resolves records through cTesselReplay::Instance() and refuses
  // to start while cNetRecord::Instance() records.
  static cNetReplay& Instance();
  // Stops the process's replayer, when one was made, and waits for its thread: the host calls
  // it before it ends and releases the links the replay delivers into. Never makes one.
  static void StopInstance();
  // A replayer resolving records through `find`, refusing to start while `record` (the
  // process's recorder when null) records; `clock` stands in for the millisecond clock.
  explicit cNetReplay(iCallbackFind* find, const cNetRecord* record = nullptr,
                      ClockFunc clock = nullptr);
  // Stops the thread and closes the file.
  ~cNetReplay();
  cNetReplay(const cNetReplay&) = delete;
  cNetReplay& operator=(const cNetReplay&) = delete;

  // Loads the file and plays it at `speed` (see SetSpeed), on a thread of its own when
  // `ownThread` (otherwise the caller calls Step). False while recording, while a replay
  // plays, or when the file cannot be loaded. With a `folder`, see LoadReplay.
  bool StartReplay(const char* path, int speed, bool ownThread, const char* folder = nullptr);
  // Opens the file and reads its header; the replay's clock starts now. Only a regular file is
  // loaded: with a `folder`, one that lies in it (links inside it followed); without, the file at
  // `path` itself (a link there is not followed).
  bool LoadReplay(const char* path, const char* folder = nullptr);

  // The replay thread: steps until the end of the file or a negative speed.
  unsigned int Thread() override;
  // Reads the next record when none is pending and hands it out when it is due; a record its
  // link refuses stays pending (Step_Waiting).
  StepResult Step();

  // Stops the replay and waits for its thread to end. Not from the replay thread.
  void Stop();

  // 0 plays at 1000 times the recorded pace, n > 0 at n times; a negative value stops the thread.
  void SetSpeed(int speed) { m_nSpeed.store(speed); }
  int GetSpeed() const { return m_nSpeed.load(); }
  // Delivers every record into this callback instead of the one found by name (null: by name).
  void SetCallback(iCallbackNet* callback) { m_pCallback.store(callback); }
  void SetFind(iCallbackFind* find) { m_pFind.store(find); }
  // The pause between the end of the file and the end message.
  void SetEndPause(unsigned int ms) { m_nEndPauseMs.store(ms); }

  // From a successful start until the file ended or the replay was stopped.
  bool IsReplaying() const { return m_bReplay.load(); }
  // True once the thread said its end message (or was stopped).
  bool IsThreadDone() const { return m_bThreadDone.load(); }
  // Records of this replay its links took.
  unsigned int GetDelivered() const { return m_nDelivered.load(); }
  // Records of this replay read whose name led to no callback.
  unsigned int GetDropped() const { return m_nDropped.load(); }

 private:
  // The record read from the file and not yet handed out.
  struct stPending {
    stReplayRecordHead head;
    std::vector<char> data;
  };
  bool ReadRecord();
  // A record the file cannot give is refused: `what`, then the file and the offset of the record.
  void Refuse(const std::string& what, long long at) const;
  bool IsDue(const stReplayRecordHead& head);
  // Hands the record to its link's callback; false when the callback refused it (its queue is
  // full), true when it took it or the name led nowhere (dropped).
  bool Deliver(const stPending& record);
  // At the end of the file: how many records named no link, when any did.
  void SayDropped() const;
  void Finish();
  void EndPause();
  const cNetRecord& Record() const;

  std::atomic<iCallbackFind*> m_pFind;
  const cNetRecord* m_pRecord;
  ClockFunc m_clock;
  std::FILE* m_pFile = nullptr;
  std::string m_strPath;  // the file loaded last
  stReplayHeader m_header;
  uint32_t m_tStart = 0;
  bool m_bPending = false;
  bool m_bAnnounced = false;  // the wait of the pending record was printed
  stPending m_pending;
  std::vector<char> m_delivered;  // data of the record handed out last
  std::atomic<iCallbackNet*> m_pCallback{nullptr};
  std::atomic<int> m_nSpeed{0};
  std::atomic<unsigned int> m_nEndPauseMs{1000};
  std::atomic<bool> m_bReplay{false};
  std::atomic<bool> m_bThreadDone{false};
  std::atomic<unsigned int> m_nDelivered{0};
  std::atomic<unsigned int> m_nDropped{0};
  cThread m_thread;
};
