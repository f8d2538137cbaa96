// What a peer that has not logged in may send: a text the login check accepts must, run by a
// real Lua state whose only globals are the three login functions, make exactly the one call the
// check saw, with its arguments, and nothing else. The shown form of an accepted Login call never
// holds its password.
#include "fuzz_kit.h"
#include "tessel/core/login_text.h"

namespace {

std::string s_calls;  // the names called, then the number of arguments of the last call
int Record(lua_State* L) {
  s_calls += lua_tostring(L, lua_upvalueindex(1));
  s_calls += std::to_string(lua_gettop(L));
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lua_State* L = [] {
    lua_State* L = luaL_newstate();
    for (const char* name : {"Login", "Logout", "Logined"}) fuzzkit::Give(L, name, &Record);
    fuzzkit::Confine(L, {"Login", "Logout", "Logined"});
    return L;
  }();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string shown = MaskCmdText(text);
  stLoginCall call;
  if (!ParseLoginCall(text, &call)) return 0;
  s_calls.clear();
  const bool ran = fuzzkit::Run(L, text) >= 0;
  fuzzkit::Collect(L);
  if (!ran) return 0;  // Lua may refuse a literal the check let through
  FUZZ_CHECK(s_calls == call.name + std::to_string(call.args.size()), text, s_calls);
  // A quoted password that appears nowhere else in the call must not be shown.
  if (call.name != "Login" || call.args.size() < 2 || call.args[1].size() < 8) return 0;
  const std::string secret = call.args[1].substr(1, call.args[1].size() - 2);
  if (call.args[1][0] != '\'' && call.args[1][0] != '"') return 0;
  if (secret.find('*') != std::string::npos) return 0;
  for (size_t i = 0; i < call.args.size(); ++i)
    if (i != 1 && call.args[i].find(secret) != std::string::npos) return 0;
  // The shown form is rebuilt from the call, so the password's text may reappear through the
  // call's own words (Login('',"Login('',")); its quoted literal never does unless unmasked.
  FUZZ_CHECK(shown.find(call.args[1]) == std::string::npos, text, shown);
  return 0;
}
