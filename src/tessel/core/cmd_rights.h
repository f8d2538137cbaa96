// Who may run what: an account's rules (allow, deny, targets) read from text, the effective
// rights of the command being served (the lesser of every rule set it carries), and the check
// that every registered function and every Lua builtin reaching the operating system makes when
// it is called. Parsing: any thread. The current rights and the check: worker thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessel/core/cmd_funcs.h"

struct lua_State;

// One item of an allow or deny list: a group (by number or by a leading part of its word), a
// function of a group ("4:Ver"), or a category ("@read" ... "@all").
struct stRightItem {
  enum class eKind { kGroup, kFunction, kCategory, kAll };
  eKind kind = eKind::kAll;
  int level = -1;                       // a group given by number
  std::string word;                     // a group given by name: a leading part of its word
  std::string func;                     // kFunction
  eCmdRight right = eCmdRight::kUnset;  // kCategory
};

// One account's rules. Without an allow list every function is granted; deny takes items away
// and wins over allow. Without targets every process may be reached.
class cRightRules {
 public:
  // Reads a list of items separated by commas (no blanks). False with the reason in `error`
  // for an empty item, an unknown category, a group no group's word starts with, or a function
  // that group does not have.
  static bool ParseItems(std::string_view text, std::vector<stRightItem>& items,
                         std::string& error);
  // Reads a list of process name patterns ('*' matches any run of characters).
  static bool ParseTargets(std::string_view text, std::vector<std::string>& patterns,
                           std::string& error);

  bool Allows(const stCmdFunc& func) const;
  bool MayReach(std::string_view process) const;

  bool m_bAllowList = false;
  std::vector<stRightItem> m_allow;
  std::vector<stRightItem> m_deny;
  std::vector<std::string> m_targets;  // empty: all
};

// The rights a command runs with: the account (and the origin it came from) and every rule set
// it must satisfy. No rule set at all grants everything.
struct stCmdRights {
  std::string account;
  std::string origin;  // account@process
  // The account of the link a carried origin came by: its Kick and its reloaded file bind the
  // code the command leaves to run later as well. Empty when none.
  std::string carrier;
  std::vector<std::shared_ptr<const cRightRules>> rules;

  bool Allows(const stCmdFunc& func) const;
  bool MayReach(std::string_view process) const;
  // Adds the rule sets of `other` not held already: the lesser of both rights. Each set is held
  // once, so rights merged again and again (a coroutine that starts another at once, level
  // after level) do not double at every merge.
  void AddRulesOf(const stCmdRights& other);
};
using CmdRightsPtr = std::shared_ptr<const stCmdRights>;

// The rights of every process name pattern match ('*' any run of characters, case-sensitive).
bool MatchProcessPattern(std::string_view pattern, std::string_view name);

// The rights as text for another process: the account, the origin, then three lines per rule
// set ("+ITEMS" for an allow list or "*" for none, "-ITEMS", "@TARGETS"). CmdRightsFromText reads
// it back; false with the reason for anything else (an item this process does not know
// included), and then `out` is not to be used.
std::string CmdRightsText(const stCmdRights& rights);
bool CmdRightsFromText(std::string_view text, stCmdRights& out, std::string& error);

// While it lives, the functions called run with `rights` (null: unrestricted, the local
// console's). Scopes nest; an inner one never widens what an outer one grants, since a served
// command's own texts run within it.
class cCmdRightsScope {
 public:
  explicit cCmdRightsScope(CmdRightsPtr rights);
  ~cCmdRightsScope();
  cCmdRightsScope(const cCmdRightsScope&) = delete;
  cCmdRightsScope& operator=(const cCmdRightsScope&) = delete;

  // The rights of the innermost scope; null outside every scope or when unrestricted.
  static const CmdRightsPtr& Current();
  // Whether a scope with rights is in force: readable from any thread.
  static bool Narrowed();
  // The number of the outermost scope in force, new for each (a served command, a resume of
  // code left to run later); 0 outside every scope (a console line).
  static uint64_t OuterSerial();
  // The refusal line of a call refused inside the outermost scope, "" when none.
  static const std::string& Refusal();
  // True once, for the first report of the refusal: the requester gets one line.
  static bool TakeRefusalReport();

 private:
  CmdRightsPtr m_former;
  bool m_bOuter;
};

// What the refusal of `func` for `account` reads: "refused: ACCOUNT may not run FUNCTION
// (needs @RIGHT)".
std::string RefusalLine(std::string_view account, std::string_view func, eCmdRight right);

// The check made by a guarded function before it runs: nothing when the current rights grant
// it, else the refusal is noted (Denied) and raised as a Lua error that also stops every Lua
// call of the command at its next instruction (a pcall cannot go on past it).
void CheckCmdCall(lua_State* L, const stCmdFunc& func);
// The same check made inside a native function for a right its arguments call for (a
// security value): a refusal is thrown as an exception carrying the refusal line, which the
// registration helper raises as the Lua error.
void RequireCmdRight(std::string_view func, eCmdRight right);
// The check of a function that sends a command to another process (`process`; "*" for every
// process): refused unless the account's targets reach it, as RequireCmdRight does, with the
// line "refused: ACCOUNT may not run FUNCTION on PROCESS (outside its targets)".
void RequireCmdTarget(std::string_view func, std::string_view process);
// The same inside a raw Lua function: the refusal is raised as its Lua error.
void CheckCmdTarget(lua_State* L, std::string_view func, std::string_view process);
// The check of a routed call at its destination, whose answers go back along `names` reversed
// and run where they end (the first name) with the rights of the links they come by: refused
// unless they end at the requester (its process, or its account logged in there) or at a
// process its targets reach: "refused: ACCOUNT may not run FUNCTION answered on NAME (outside
// its targets)". Raised as CheckCmdTarget does.
void CheckCmdAnswerWay(lua_State* L, std::string_view func, const std::vector<std::string>& names);
// After a guarded function returned: raises the refusal again when one happened inside it.
void CheckNoRefusal(lua_State* L);

// Ends the rights of the code that `account`'s commands left to run later (StartYield): from
// now on every call it makes is refused, as for an account granted nothing. Kick does it. Any
// thread.
void RevokeDeferredRights(std::string_view account);
// The account's file was read again (ReloadAccounts) and gives it `rights` (null: no rights
// keys): code its commands left to run later is held to them as well, from its next call on. It
// keeps the rules it was deferred with too, so a reload narrows it and never widens it. Any
// thread.
void NoteReloadedRights(std::string_view account, CmdRightsPtr rights);
// `rights` as code deferred under revision `revision` of its account (and `carrierRevision` of
// the account of the link it came by) holds them now: the same; with the rules of each reload
// since added; or, once RevokeDeferredRights named either account, rights that grant nothing.
CmdRightsPtr DeferredRights(const CmdRightsPtr& rights, uint64_t revision,
                            uint64_t carrierRevision = 0);
// The revision of `account`'s deferred rights, for code deferred now; with `local` (an account
// of this process, not an origin another process sent), the account counts among those with
// deferred code from then on. Any thread.
uint64_t DeferredRightsRevision(std::string_view account, bool local = false);
// The accounts of this process whose commands left code to run later (a reload reads their
// rights also when none of their sessions is logged in any more). Any thread.
std::vector<std::string> DeferredRightsAccounts();

// Replaces, in L's globals, every builtin that reaches the operating system (os.execute,
// os.remove, os.rename, os.exit, os.getenv, os.tmpname, os.setlocale, io.*, the methods of
// files, dofile, loadfile, require, package.loadlib and package.loaders, debug.*) by a version
// that needs @shell when it is called; and `print` by one that writes through std::cout, where
// a narrowed account's lines keep to the console's bound (console_bound.h). The builtins that
// could wait for ever are bounded first (os_wait_guard.h).
void GuardOsBuiltins(lua_State* L);
