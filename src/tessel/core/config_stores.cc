#include "tessel/core/config_stores.h"

#include <strings.h>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "tessel/core/launch_words.h"
#include "tessel/core/login_text.h"

namespace {

std::mutex g_paramTextMutex;
std::string g_paramText;

// Launch parameters whose values are secrets: they are stored, but shown only masked.
bool IsSecretParam(const std::string& key) {
  return strcasecmp(key.c_str(), "password") == 0;
}

// `text` with the value word of every secret parameter replaced by its mask; the words are
// read in threes (key, separator, value) as AddExeParamStream reads them.
std::string MaskParamText(const std::string& text) {
  std::string out = text;
  std::string key;
  size_t index = 0, at = 0;
  for (;;) {
    const size_t begin = out.find_first_not_of(" \t\r\n\v\f", at);
    if (begin == std::string::npos) break;
    size_t end = out.find_first_of(" \t\r\n\v\f", begin);
    if (end == std::string::npos) end = out.size();
    const std::string word = out.substr(begin, end - begin);
    if (index % 3 == 0) key = word;
    if (index % 3 == 2 && ShownExeParam(key, word) != word) {
      const std::string mask = ShownExeParam(key, word);
      out.replace(begin, end - begin, mask);
      end = begin + mask.size();
    }
    ++index;
    at = end;
  }
  return out;
}

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
bool SetConfigValue(const char* key, int value) {
  return GetConfigStore().SetStringValue(key, value);
}
std::string GetConfigString(const char* key, const char* def) {
  return GetConfigStore().GetStringString(key, def);
}
bool SetConfigString(const char* key, const char* value) {
  return GetConfigStore().SetStringString(key, value ? value : "");
}

int GetGameValue(const char* key, int def) {
  return GetGameStore().GetStringValue(key, def);
}
bool SetGameValue(const char* key, int value) {
  return GetGameStore().SetStringValue(key, value);
}
std::string GetGameString(const char* key, const char* def) {
  return GetGameStore().GetStringString(key, def);
}
bool SetGameString(const char* key, const char* value) {
  return GetGameStore().SetStringString(key, value ? value : "");
}

std::string GetExeParam(const char* key, const char* def) {
  return GetExeParamStore().GetStringString(key, def);
}

std::string ShownExeParam(const std::string& key, const std::string& value) {
  if (IsSecretParam(key)) return MaskPassword(value.c_str());
  // The first console line runs as typed: a login or SetConnect in it carries a password.
  return strcasecmp(key.c_str(), "initcmd") == 0 ? MaskCmdText(value) : value;
}

std::string GetExeParamPeek(const char* key, const char* def, bool maskSecret) {
  const std::string value = GetExeParamStore().PeekStringString(key, def);
  return maskSecret ? ShownExeParam(key, value) : value;
}

// The map names the log, audit and configuration folders: a name, never a path.
const cLaunchWords kMapWord{
    {"map", "NAME", "the map this program serves (GetMapName())", IsLaunchName, kLaunchNameForm}};

std::string GetMapServerName() {
  return GetExeParam("map", "");
}

void AddExeParamStream(const char* text) {
  const std::string input = text ? text : "";
  // Only the masked text is kept and shown: it reaches the console, ViewExeParam and the crash
  // report.
  const std::string shown = MaskParamText(input);
  {
    std::lock_guard<std::mutex> lock(g_paramTextMutex);
    g_paramText = shown;
  }
  std::cout << "AddExeParamStream"
            << " " << shown << std::endl;
  std::istringstream words(input);
  std::map<std::string, std::string> params;
  std::string key, separator, value;
  while (words >> key >> separator >> value) params[key] = value;
  std::cout << "AddExeParamStream" << std::endl;
  for (const auto& [name, val] : params) {
    std::cout << name << " = " << ShownExeParam(name, val) << std::endl;
    GetExeParamStore().SetStringString(name.c_str(), val);
  }
}

std::string GetExeParamText() {
  std::lock_guard<std::mutex> lock(g_paramTextMutex);
  return g_paramText;
}
