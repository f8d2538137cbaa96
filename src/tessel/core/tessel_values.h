// Who this process is: program kind, build stamp, version, executable names and the named
// information values ("infos"), with the files and registry key derived from them. One
// process-wide instance. Identity is set on the main thread during start-up; infos and the
// hooks below may be used from any thread.
#pragma once

#include <functional>
#include <istream>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry.h"

class cTesselValues {
 public:
  using InfoTable = std::unordered_map<std::string, std::string>;

  // Created on first use from the running executable and the launch parameter "map".
  static cTesselValues& Instance();

  // Derives exe, exe name and exe base name from an executable path ("Unknown" when empty) and
  // the "map" launch parameter, and prints "exe name = " with the exe name.
  cTesselValues(const std::string& exePath, const std::string& mapName);
  cTesselValues(const cTesselValues&) = delete;
  cTesselValues& operator=(const cTesselValues&) = delete;

  void SetProgram(const char* buildDate, const char* buildTime, const char* version,
                  const char* program);

  void SetInfoValue(const char* name, int value);
  void SetInfoValue(const char* name, const char* value);
  void SetInfoValue(const char* name, const std::string& value);
  // Sets the value unless its name is new and `maxNames` names are already kept; false then.
  bool SetInfoValueWithin(const char* name, const std::string& value, size_t maxNames);
  // The info value of that name; a missing one is created empty.
  std::string GetInfoValue(const char* name);

  // Writes every info value as name=value, (no line breaks), after refreshing the per-server
  // counts. A command may have set names and values (SetInfoValue): their control bytes are
  // written as \xNN, so they neither break the line nor reach a terminal as controls.
  void GetInfos(std::ostream& os);
  // Reads back what GetInfos wrote into out, echoing each pair as a line on standard output.
  void RecoverInfos(std::istream& in, InfoTable& out);
  void Version(std::ostream& os);
  // Records the identity and start time under the registry key "Software\" + exe name.
  void SetRegistry();
  // Stores values under this program's registry key; failures are printed and otherwise ignored.
  bool WriteRegistryValues(const platform::RegistryValues& values);
  int IsProgram(const char* program);

  // "log/" + exe name + "/" + name.
  std::string _GetLogFile(const char* name) const;
  // "config/" + exe base name + "/" + name.
  std::string _GetConfigFile(const char* name) const;

  const std::string& GetExe() const { return m_strExe; }
  const std::string& GetExeName() const { return m_strExeName; }
  const std::string& GetExeBaseName() const { return m_strExeBaseName; }
  const std::string& GetProgram() const { return m_strProgram; }
  const std::string& GetVersion() const { return m_strVersion; }
  const std::string& GetBuildDate() const { return m_strBuildDate; }
  const std::string& GetBuildTime() const { return m_strBuildTime; }

 private:
  void PickAddresses();

  std::string m_strBuildDate;
  std::string m_strBuildTime;
  std::string m_strProgram;
  std::string m_strExe;
  std::string m_strExeName;
  std::string m_strVersion;
  std::string m_strExeBaseName;
  std::mutex m_mutexInfos;
  InfoTable m_mapInfos;
};

// Picks the machine's own first and second address from the resolver's list (in its order),
// writing "ip = " and each address as a line to os. The first ends as the first address that is
// neither loopback nor in 192.168, or else the last one listed.
void PickOwnAddresses(const std::vector<std::string>& addresses, std::string& first,
                      std::string& second, std::ostream& os);

// The info value "IP", created empty when missing.
std::string GetTesselIP();
// Program kind checks, each computed at its first call and kept for the life of the process.
bool IsGameServer();
bool IsGameClient();
bool IsLoginServer();
bool IsMapServer();
// The host has at least one easy server registered.
bool IsTesselServer();
// The host has a server registered, or the program is "map" (kept after its first check).
bool IsServer();
