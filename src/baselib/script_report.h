// Reporting of script errors: standard output and the logger "script.error". Worker thread.
#pragma once

#include <lua.hpp>

#include <string>

namespace baselib {

// Writes "<where> error <name> <message>" as one line.
void ReportScriptError(const std::string& where, const std::string& name, const char* message);
// When `code` is not 0: reports the error message on top of L and pops it. Returns `code`.
int ReportLuaError(lua_State* L, int code, const std::string& where, const std::string& name);
// The message of the last error reported on this thread ("" after ForgetScriptError): why a
// script that is there did not load.
const std::string& LastScriptError();
void ForgetScriptError();

}  // namespace baselib
