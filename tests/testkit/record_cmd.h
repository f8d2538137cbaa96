// A command group whose functions only record their calls: each function named at construction
// keeps its name and its arguments as text ("nil", "true", numbers as Lua prints them). A group
// with no functions is a named group only. Any thread may read the calls.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tessel/core/cmd.h"

struct stRecordedCall {
  std::string function;
  std::vector<std::string> args;
  // "Function a b" (the name and the arguments, space-separated).
  std::string Text() const;
};

class cRecordCmd : public cCmd {
 public:
  explicit cRecordCmd(std::string name = "cCmd_TestRecord", std::vector<std::string> functions = {})
      : m_name(std::move(name)), m_functions(std::move(functions)) {}
  ~cRecordCmd() override { Clear(); }
  void bind_cln(lua_State* L) override;
  const char* GetName() override { return m_name.c_str(); }

  std::vector<stRecordedCall> Calls() const;
  // The calls as their texts, in order.
  std::vector<std::string> Texts() const;
  // The first argument of every call of `function`, in order.
  std::vector<std::string> FirstArgs(const std::string& function) const;
  void ClearCalls();

 private:
  static int Record(lua_State* L);

  std::string m_name;
  std::vector<std::string> m_functions;
  mutable std::mutex m_lock;
  std::vector<stRecordedCall> m_calls;
};
