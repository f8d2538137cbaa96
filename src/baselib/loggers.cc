// The base library's loggers.
#include "baselib/script_report.h"
#include "tessel/contracts/baselib.h"

#include <iostream>

#include "platform/text_clean.h"

const loglib::logger& tessel_timererror() {
  static const loglib::logger l("tessel.timererror");
  return l;
}

const loglib::logger& tessel_fetalerror() {
  static const loglib::logger l("tessel.fetalerror");
  return l;
}

void tessel_write(const loglib::logger& l, const std::string& text) {
  loglib::write_msg(l.get_manager(), l, text, 1000);
}

namespace baselib {

namespace {
thread_local std::string t_lastError;
}  // namespace

const std::string& LastScriptError() {
  return t_lastError;
}

void ForgetScriptError() {
  t_lastError.clear();
}

void ReportScriptError(const std::string& where, const std::string& name, const char* message) {
  static const loglib::logger scriptError("script.error");
  std::string line = where;
  line += " error ";
  line += name;
  line += ' ';
  t_lastError = message != nullptr ? message : "(no message)";
  line += t_lastError;
  // A script's error message may quote a peer's text (error() chooses every byte): on the
  // console and in the log it stays one line, its controls escaped.
  line = EscapeControls(line);
  std::cout << line + "\n" << std::flush;
  tessel_write(scriptError, line);
}

int ReportLuaError(lua_State* L, int code, const std::string& where, const std::string& name) {
  if (code == 0) return 0;
  ReportScriptError(where, name, lua_tostring(L, -1));
  lua_pop(L, 1);
  return code;
}

}  // namespace baselib
