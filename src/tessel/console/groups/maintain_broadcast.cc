#include "tessel/console/groups/maintain_broadcast.h"

#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <string_view>
#include <utility>

#include "tessel/console/tessel_cmd.h"
#include "tessel/core/console_bound.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

constexpr int kManagerGroup = 4;
// The most broadcast texts remembered; the oldest is forgotten first.
constexpr size_t kMaxBroadcastsRemembered = 256;

using Clock = std::chrono::steady_clock;

// The recursive broadcasts that passed here, by their length and hash (a text may be large),
// with when they did. Worker thread only.
using Passed = std::map<std::pair<size_t, size_t>, Clock::time_point>;

Passed& PassedBroadcasts() {
  static Passed passed;
  return passed;
}

void ForgetOld(Passed& passed, Clock::time_point now) {
  std::erase_if(passed, [&](const auto& entry) {
    return now - entry.second >= std::chrono::milliseconds(kBroadcastMemoryMs);
  });
  while (passed.size() >= kMaxBroadcastsRemembered) {
    auto oldest = passed.begin();
    for (auto it = passed.begin(); it != passed.end(); ++it)
      if (it->second < oldest->second) oldest = it;
    passed.erase(oldest);
  }
}

std::string Quoted(const std::string& text) {
  return "\"" + LuaEscape(text) + "\"";
}

}  // namespace

std::string MakeBroadDoCmd(int group, const std::string& text) {
  return "DoCmd(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadNameClientCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdNameClient(" + std::to_string(group) + "," + Quoted(text) + "," + Quoted(name) +
         ")";
}

std::string MakeBroadReverseCmd(int group, const std::string& text) {
  return "BroadCmdReverse(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadReverseNameCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdReverseName(" + std::to_string(group) + "," + LuaLongBracket(text) + "," +
         Quoted(name) + ")";
}

bool FirstBroadcastPass(const char* label, const std::string& wire) {
  TESSEL_ASSERT_WORKER();
  auto& passed = PassedBroadcasts();
  const Clock::time_point now = Clock::now();
  ForgetOld(passed, now);
  const std::pair<size_t, size_t> key(wire.size(), std::hash<std::string>()(wire));
  if (!get_gout().IsLocalCmd() && passed.count(key) != 0) {
    cConsoleBound::Notice(std::string(label) + " passed here before, dropped.");
    return false;
  }
  passed[key] = now;
  return true;
}

namespace {

// Whether the command being served came over a link as a broadcast's text.
bool ServingBroadcast() {
  const stBindMsg* msg = get_gout().GetCurMsg();
  if (get_gout().IsLocalCmd() || msg == nullptr) return false;
  const std::string_view text = cCmdRecordView(msg->msg, msg->size).Text();
  return text.starts_with("DoCmd(") || text.starts_with("BroadCmdNameClient(");
}

}  // namespace

bool FirstRelayedPass(const char* label, const std::string& wire) {
  return !ServingBroadcast() || FirstBroadcastPass(label, wire);
}

bool ServingRelay(const std::string& wire) {
  const stBindMsg* msg = get_gout().GetCurMsg();
  if (get_gout().IsLocalCmd() || msg == nullptr) return false;
  return cCmdRecordView(msg->msg, msg->size).Text() == wire;
}

int SendToServerManagers(const std::string& text) {
  TESSEL_ASSERT_WORKER();
  return GetHost().SendCmdAllServerManager(kManagerGroup, text.c_str());
}

void RunHere(int group, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  if (group < 0) return;
  if (get_gout().IsLocalCmd()) {
    cTesselCmd::Instance().RunCmd(static_cast<unsigned>(group), text.c_str());
  } else {
    get_gout().DoCmd(group, text.c_str());
  }
}
