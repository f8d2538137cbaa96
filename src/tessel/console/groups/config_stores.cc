#include "tessel/console/groups/config_stores.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

namespace {

std::mutex g_paramTextMutex;
std::string g_paramText;

}  // namespace

cStringValue& GetConfigStore() {
  static cStringValue store;
  return store;
}

cStringValue& GetGameStore() {
  static cStringValue store;
  return store;
}

cStringValue& GetExeParamStore() {
  static cStringValue store;
  return store;
}

void LoadValueStores() {
  std::error_code ec;
  std::filesystem::create_directories("config", ec);
  std::filesystem::create_directories("game", ec);
  GetConfigStore().Load(kConfigIntFile, kConfigStrFile);
  GetGameStore().Load(kGameIntFile, kGameStrFile);
}

int GetConfigValue(const char* key, int def) {
  return GetConfigStore().GetStringValue(key, def);
}
void SetConfigValue(const char* key, int value) {
  GetConfigStore().SetStringValue(key, value);
}
std::string GetConfigString(const char* key, const char* def) {
  return GetConfigStore().GetStringString(key, def);
}
void SetConfigString(const char* key, const char* value) {
  GetConfigStore().SetStringString(key, value ? value : "");
}

int GetGameValue(const char* key, int def) {
  return GetGameStore().GetStringValue(key, def);
}
void SetGameValue(const char* key, int value) {
  GetGameStore().SetStringValue(key, value);
}
std::string GetGameString(const char* key, const char* def) {
  return GetGameStore().GetStringString(key, def);
}
void SetGameString(const char* key, const char* value) {
  GetGameStore().SetStringString(key, value ? value : "");
}

std::string GetExeParam(const char* key, const char* def) {
  return GetExeParamStore().GetStringString(key, def);
}

std::string GetMapServerName() {
  return GetExeParam("map", "");
}

void AddExeParamStream(const char* text) {
  const std::string input = text ? text : "";
  {
    std::lock_guard<std::mutex> lock(g_paramTextMutex);
    g_paramText = input;
  }
  std::cout << "AddExeParamStream"
            << " " << input << std::endl;
  std::istringstream words(input);
  std::map<std::string, std::string> params;
  std::string key, separator, value;
  while (words >> key >> separator >> value) params[key] = value;
  std::cout << "AddExeParamStream" << std::endl;
  for (const auto& [name, val] : params) {
    std::cout << name << " = " << val << std::endl;
    GetExeParamStore().SetStringString(name.c_str(), val);
  }
}

std::string GetExeParamText() {
  std::lock_guard<std::mutex> lock(g_paramTextMutex);
  return g_paramText;
}
