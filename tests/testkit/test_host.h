// A host for tests that installs itself for the lower floors while it lives and answers from
// plain fields: the endpoints by name and the host's values. Any answer left unset is the
// neutral one (or the machine's own, for the addresses).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessel/core/host.h"

class cTestHost : public iHost {
 public:
  cTestHost() { SetHost(this); }
  ~cTestHost() override { SetHost(nullptr); }
  cTestHost(const cTestHost&) = delete;
  cTestHost& operator=(const cTestHost&) = delete;

  cBridge* FindBridge(const char* name) override {
    auto it = bridges.find(name);
    return it != bridges.end() ? it->second : nullptr;
  }
  std::vector<std::pair<std::string, int>> EasyServerInfos() override { return serverInfos; }
  bool IsServer() override { return server; }
  std::string ConfigString(const char* name) override {
    auto it = config.find(name);
    return it != config.end() ? it->second : std::string();
  }
  std::vector<std::string> OwnAddresses() override {
    return addresses ? *addresses : iHost::OwnAddresses();
  }
  std::string LogFilePath(const char* name) override {
    return logRoot ? *logRoot + name : iHost::LogFilePath(name);
  }

  std::map<std::string, cBridge*> bridges;
  std::vector<std::pair<std::string, int>> serverInfos;
  bool server = false;
  std::map<std::string, std::string> config;
  std::optional<std::vector<std::string>> addresses;
  std::optional<std::string> logRoot;
};
