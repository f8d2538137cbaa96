#include "tessel/host/host_config.h"

#include <atomic>

#include "tessel/host/string_value.h"

namespace {
std::atomic<cStringValue*> g_config{nullptr};
std::atomic<cStringValue*> g_exeParams{nullptr};
}  // namespace

void cHostConfig::SetStores(cStringValue* config, cStringValue* exeParams) {
  g_config.store(config);
  g_exeParams.store(exeParams);
}

int cHostConfig::Value(const char* key, int def) {
  cStringValue* store = g_config.load();
  return store ? store->GetStringValue(key, def) : def;
}

std::string cHostConfig::String(const char* key, const char* def) {
  cStringValue* store = g_config.load();
  return store ? std::string(store->GetStringString(key, def)) : std::string(def);
}

std::string cHostConfig::ExeParam(const char* key, const char* def) {
  cStringValue* store = g_exeParams.load();
  return store ? std::string(store->GetStringString(key, def)) : std::string(def);
}
