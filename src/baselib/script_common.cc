// The library's common script functions and the game-clock binding.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <vector>

#include "baselib/script_report.h"
#include "platform/terminal_text.h"
#include "tessel/contracts/baselib.h"

namespace fs = std::filesystem;

namespace {

// The system's runner of RunScriptString's texts (see SetLuaTextRunner).
std::atomic<LuaTextRunner> g_textRunner{nullptr};

// Calls the function of the script (loaded when it is not yet); `found` tells whether the
// script was there to call.
bool CallScript(const char* file, const char* function, bool& found) {
  found = false;
  if (file == nullptr || function == nullptr) return false;
  cScriptManager& manager = cScriptManager::Instance();
  manager.EnterScript();
  baselib::ForgetScriptError();
  KLuaScript* script = manager.GetScript(file);
  found = script != nullptr;
  const bool ok = found && script->Call(function, 0, 0) >= 0;
  manager.LeaveScript();
  return ok;
}

}  // namespace

void SetLuaTextRunner(LuaTextRunner runner) {
  g_textRunner.store(runner);
}

bool RunScriptFileFunc(const char* file, const char* function) {
  bool found = false;
  return CallScript(file, function, found);
}

namespace {

// A name a command gave, as the console shows it: on one line, without terminal controls.
std::string Shown(const char* name) {
  std::string text = platform::TerminalText(name != nullptr ? name : "");
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

// The line of a command that found no script to run: one that is there but did not load says
// why (its error), which "not find script" left the operator to guess.
void SayNoScript(const char* command, const char* file) {
  const std::string& why = baselib::LastScriptError();
  if (why.empty())
    std::cout << command << " not find script " << Shown(file) << '\n';
  else
    std::cout << command << " script " << Shown(file) << " did not load: " << Shown(why.c_str())
              << '\n';
}

int ReloadAll() {
  const int found = cScriptManager::Instance().ReloadAll();
  std::cout << "ReloadAll " << found << " scripts\n";
  return found;
}

// As RunScriptFileFunc, and a script that is not found (or did not load) is named.
bool RunScript(const char* file, const char* function) {
  bool found = false;
  const bool ok = CallScript(file, function, found);
  if (!found) SayNoScript("RunScript", file);
  return ok;
}

// Loads the script afresh, so that an edited file takes effect, then calls the function.
bool RunScriptTest(const char* file, const char* function) {
  cScriptManager::Instance().ClearAScript(file);
  const bool ok = RunScriptFileFunc(file, function);
  std::cout << "RunScriptTest " << Shown(file) << ' ' << Shown(function) << (ok ? " ok" : " fail")
            << '\n';
  return ok;
}

int RunText(KLuaScript& script, const char* text) {
  if (LuaTextRunner runner = g_textRunner.load()) return runner(script, text);
  return script.DoString(text);
}

bool RunScriptString(const char* file, const char* text) {
  cScriptManager& manager = cScriptManager::Instance();
  manager.EnterScript();
  baselib::ForgetScriptError();
  KLuaScript* script = manager.GetScript(file);
  if (script == nullptr) SayNoScript("RunScriptString", file);
  const bool ok = script != nullptr && RunText(*script, text) == 0;
  manager.LeaveScript();
  return ok;
}

// Whether a folder name steps up with "..": the script manager's name of it is empty, which is
// the whole script folder.
bool NamesParent(const char* dir) {
  std::string path = std::string("/") + dir + "/";
  std::replace(path.begin(), path.end(), '\\', '/');
  return path.find("/../") != std::string::npos;
}

// Runs the function "main" of every script under the folder, in name order, each loaded
// afresh; returns the number that failed (-1 for a folder name that steps up, refused).
int RunScriptTestF(const char* dir) {
  if (NamesParent(dir)) {
    std::cout << "RunScriptTestF refused " << Shown(dir) << '\n';
    return -1;
  }
  cScriptManager& manager = cScriptManager::Instance();
  const std::string folder = cScriptManager::NormalName(dir);
  const fs::path root = manager.GetPath().empty() ? fs::path(".") : fs::path(manager.GetPath());
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root / folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->path().extension() != ".lua") continue;
    names.push_back(
        cScriptManager::NormalName(fs::relative(it->path(), root, ec).generic_string()));
  }
  std::sort(names.begin(), names.end());
  int failed = 0;
  for (const std::string& name : names) {
    manager.ClearAScript(name.c_str());
    const bool ok = RunScriptFileFunc(name.c_str(), "main");
    if (!ok) ++failed;
    std::cout << "RunScriptTestF " << name << (ok ? " ok" : " fail") << '\n';
  }
  std::cout << "RunScriptTestF " << Shown(dir) << ' ' << names.size() << " scripts " << failed
            << " failed\n";
  return failed;
}

std::string GetGameTime() {
  return cGameTime::Instance().GetGameTime().ToString();
}

// A text that is no real time is refused with a line: the console shows no result.
bool SetGameTime(const char* text) {
  stGameTime t;
  if (t.FromString(text) && cGameTime::Instance().SetGameTime(t)) return true;
  std::cout << "SetGameTime wrong time " << Shown(text) << '\n';
  return false;
}

void SetTimeMul(int mul) {
  cGameTime::Instance().SetTimeMul(mul);
}
int GetTimeMul() {
  return cGameTime::Instance().GetTimeMul();
}
bool IsDay() {
  return cGameTime::Instance().IsDay();
}
bool IsNight() {
  return cGameTime::Instance().IsNight();
}

}  // namespace

void BindScriptCommon(lua_State* L) {
  luareg::def<&ReloadAll>(L, "ReloadAll");
  luareg::def<&RunScript>(L, "RunScript");
  luareg::def<&RunScriptTest>(L, "RunScriptTest");
  luareg::def<&RunScriptString>(L, "RunScriptString");
  luareg::def<&RunScriptTestF>(L, "RunScriptTestF");
}

void BindGameTime(lua_State* L) {
  luareg::def<&GetGameTime>(L, "GetGameTime");
  luareg::def<&SetGameTime>(L, "SetGameTime");
  luareg::def<&SetTimeMul>(L, "SetTimeMul");
  luareg::def<&GetTimeMul>(L, "GetTimeMul");
  luareg::def<&IsDay>(L, "IsDay");
  luareg::def<&IsNight>(L, "IsNight");
}

void HelpScriptTessel(std::ostream& os) {
  static const char* const lines[] = {
      "【游戏时间】",
      "\t游戏时间\t --- GetGameTime()",
      "\t设置游戏时间\t --- SetGameTime('2006/5/1 10:20:00')",
      "\t时间倍率\t --- SetTimeMul(60)",
      "\t查询时间倍率\t --- GetTimeMul()",
      "\t白天\t --- IsDay()",
      "\t夜晚\t --- IsNight()",
  };
  for (const char* line : lines) os << line << '\n';
  Help_Yield(os);
}
