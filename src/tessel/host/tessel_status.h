// Process-wide status kept beside the host: the stage of the worker's cycle and the crash status
// built from it (written to the fatal-error logger and to the
// registry when a crash is reported). Any thread.
#pragma once

#include <string>

// What the worker's cycle is doing.
enum TesselRunStage : int {
  RunStage_Idle = 0,   // between cycles
  RunStage_Msg = 1,    // handling the links' messages
  RunStage_Cmd = 2,    // console input and the game clock
  RunStage_Timer = 3,  // timers and the links' periodic work
};

void SetRunStage(int stage);
int GetRunStage();

// "【严重错误】exception catched status: <stage>" and, by stage, the command being run and the
// typed line (1, 2) or the timer being fired (3). Built without allocating and without waiting
// for a lock: a text whose lock is held reads "(locked)".
std::string TesselCrashStatus();
// Writes the crash status to "tessel.fetalerror": the one recorded when a crash was reported,
// else the present one; then stores a recorded crash in the registry (TesselStoreRecordedCrash).
void TesselReportCrash();
// Prepares the crash record of the program `exeName` (its file beside the program's registry
// key, the local time offset): what TesselRecordCrash must not compute. Call it before a crash
// can be reported; again after a change of name.
void TesselPrepareCrashRecord(const char* exeName);
// The crash reporter's callback, run once the report is written, usually inside a fatal-signal
// handler: keeps the crash status (the one TesselReportCrash writes from then on) and writes it
// with the time to the prepared crash record, with plain system calls and nothing allocated.
void TesselRecordCrash();
// Stores a crash record of the program `exeName` as the registry values "crash" and
// "crashtime" under its key and removes the record: in the same process once the fault is
// handled, or at the next start after a fault that ended the process. False when there is none.
bool TesselStoreRecordedCrash(const char* exeName);
// Stores the present local time as a registry value under the program's key.
void TesselRegistryTime(const char* name);
