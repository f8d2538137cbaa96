#include "tessel/console/groups/cmd_config.h"

#include <cstring>
#include <iostream>
#include <string>

#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_categories.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/host.h"
#include "tessel/core/string_value.h"
#include "tessel/core/tessel_values.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "【Config函数】",
    "\t设置全局参数Ini —— SetConfigValue('pay',10)",
    "\t得到全局参数Int —— GetConfigValue('pay',10)",
    "\t察看全局参数Int —— ViewConfigValue('pay')",
    "\t设置全局参数Str —— SetConfigString('new','hi')",
    "\t得到全局参数Str —— GetConfigString('new','')",
    "\t察看全局参数Str —— ViewConfigString('new')",
    "\t设置全局参数Ini —— SetGameValue('pay',10)",
    "\t得到全局参数Int —— GetGameValue('pay',0)",
    "\t察看全局参数Int —— ViewGameValue('pay')",
    "\t设置全局参数Str —— SetGameString('new','hi')",
    "\t得到全局参数Str —— GetGameString('new','')",
    "\t察看全局参数Str —— ViewGameString('new')",
    "\tViewExeParam —— ViewExeParam()",
    "",
};

// The view commands write one line to the command output: label, key, " = ", value.
template <class T>
void ViewLine(const char* label, const char* key, const T& value) {
  get_gout() << label << key << " = " << value << "\n";
}

// A read keeps the default it was given under a missing name, and the process goes by it from
// then on. A command's read of a value that decides who may do what (a maintenance root, the
// login check, a command limit) keeps nothing: its default would count as set, with @read.
int GetConfigValueCmd(const char* key, int def) {
  if (IsSecurityConfigKey(key)) return GetConfigStore().PeekStringValue(key, def);
  return GetConfigValue(key, def);
}
std::string GetConfigStringCmd(const char* key, const char* def) {
  if (IsSecurityConfigKey(key)) return GetConfigStore().PeekStringString(key, def);
  return GetConfigString(key, def);
}
// A launch parameter, its default not kept (a maintenance root is read from them too); to an
// account held to rules the links' password only masked (the local console and accounts without
// rules may read every file of the home anyway).
std::string GetExeParamCmd(const char* key, const char* def) {
  return GetExeParamPeek(key, def, cCmdRightsScope::Current() != nullptr);
}
void ViewConfigValue(const char* key) {
  ViewLine("func_ViewConfigValue ", key, GetConfigValueCmd(key, 0));
}
void ViewConfigString(const char* key) {
  ViewLine("func_ViewConfigString ", key, GetConfigStringCmd(key, ""));
}
void ViewGameValue(const char* key) {
  ViewLine("func_ViewGameValue ", key, GetGameValue(key, 0));
}
void ViewGameString(const char* key) {
  ViewLine("func_ViewGameString ", key, GetGameString(key, ""));
}

// A name or text with a line end would come back from the file as other names (a peer could
// plant any configuration value that way): the store refuses it, and the command says so.
void Refused(const char* func, const char* key, const char* why) {
  get_gout() << func << " " << key << " refused: " << why << "\n";
}
constexpr const char* kUnstorable = "the value file would not read it back as itself";

// A command stores names and texts of bounded size, new names only while the store holds
// fewer than its bound, and texts only while the store's texts stay within theirs: a loop of
// commands would otherwise fill the memory and the file (10000 texts of 64 KiB: 640 MiB).
constexpr size_t kMaxSetTextBytes = 65536;
constexpr size_t kMaxStoreTextBytes = size_t{16} << 20;
bool Settable(const char* func, cStringValue& store, const char* key, size_t textBytes) {
  const char* why = nullptr;
  const size_t keyBytes = std::strlen(key);
  if (keyBytes > cStringValue::kMaxKeptNameBytes || textBytes > kMaxSetTextBytes)
    why = "a name of at most 256 bytes and a text of at most 65536 bytes";
  else if (store.Size() >= cStringValue::kMaxKeptNames && !store.Holds(key))
    why = "the store holds 10000 names already";
  else if (textBytes > 0 && store.StringBytes(key) + keyBytes + textBytes > kMaxStoreTextBytes)
    why = "the store's texts would pass 16 MiB";
  if (why == nullptr) return true;
  get_gout() << func << " refused: " << why << "\n";
  return false;
}

// Values that decide who may do what need @admin, whoever may set the others.
void SetConfigValueCmd(const char* key, int value) {
  if (IsSecurityConfigKey(key)) RequireCmdRight("SetConfigValue", eCmdRight::kAdmin);
  if (!Settable("func_SetConfigValue", GetConfigStore(), key, 0)) return;
  if (!SetConfigValue(key, value)) Refused("func_SetConfigValue", key, kUnstorable);
}
// The maintenance roots confine what peers may read and write; a command (possibly a peer's)
// never moves them.
void SetConfigStringCmd(const char* key, const char* value) {
  if (IsSecurityConfigKey(key)) RequireCmdRight("SetConfigString", eCmdRight::kAdmin);
  if (IsMaintainRootKey(key)) return Refused("func_SetConfigString", key, "set at start only");
  if (!Settable("func_SetConfigString", GetConfigStore(), key,
                value != nullptr ? std::strlen(value) : 0))
    return;
  if (!SetConfigString(key, value)) Refused("func_SetConfigString", key, kUnstorable);
}
void SetGameValueCmd(const char* key, int value) {
  if (!Settable("func_SetGameValue", GetGameStore(), key, 0)) return;
  if (!SetGameValue(key, value)) Refused("func_SetGameValue", key, kUnstorable);
}
void SetGameStringCmd(const char* key, const char* value) {
  if (!Settable("func_SetGameString", GetGameStore(), key,
                value != nullptr ? std::strlen(value) : 0))
    return;
  if (!SetGameString(key, value)) Refused("func_SetGameString", key, kUnstorable);
}

void ViewExeParam() {
  std::cout << "ViewExeParam"
            << ": " << GetExeParamText() << std::endl;
}

// Results of commands run in this group's state come back here.
void OutputGameConfig(const char* text) {
  std::cout << "func_OutputGameConfig " << text << std::endl;
}

}  // namespace

bool IsServerCmd() {
  return GetHost().IsServer() || IsMapServer();
}

void BindTesselConfig(lua_State* L) {
  luareg::def<&SetConfigValueCmd>(L, "SetConfigValue");
  luareg::def<&GetConfigValueCmd>(L, "GetConfigValue");
  luareg::def<&ViewConfigValue>(L, "ViewConfigValue");
  luareg::def<&SetConfigStringCmd>(L, "SetConfigString");
  luareg::def<&GetConfigStringCmd>(L, "GetConfigString");
  luareg::def<&ViewConfigString>(L, "ViewConfigString");
  luareg::def<&SetGameValueCmd>(L, "SetGameValue");
  luareg::def<&GetGameValue>(L, "GetGameValue");
  luareg::def<&ViewGameValue>(L, "ViewGameValue");
  luareg::def<&SetGameStringCmd>(L, "SetGameString");
  luareg::def<&GetGameString>(L, "GetGameString");
  luareg::def<&ViewGameString>(L, "ViewGameString");
  luareg::def<&GetExeParamCmd>(L, "GetExeParam");
  luareg::def<&GetMapServerName>(L, "GetMapName");
  luareg::def<&ViewExeParam>(L, "ViewExeParam");
  luareg::def<&IsServerCmd>(L, "IsServer");
}

cCmdConfig& cCmdConfig::Instance() {
  static cCmdConfig s_cmd;
  return s_cmd;
}

void cCmdConfig::Help() {
  PrintHelp(kHelp);
}

void cCmdConfig::bind_cln(lua_State* L) {
  BindTesselConfig(L);
  RegisterHelp(L, &cCmdConfig::Help);
  luareg::def<&OutputGameConfig>(L, "Output");
}
