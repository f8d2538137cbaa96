// The cluster view's walk: a status line that came too late to its own question and landed in
// the next one's answer is not taken for the next process's.
#include "tessel_cli/cli_status.h"

#include <cstdio>
#include <map>

#include <gtest/gtest.h>

namespace {

std::string Line(const std::string& name, const std::string& up, const std::string& down) {
  return "status name=" + name + " program=" + name +
         " version=1.0 uptime_s=5 links_up=1 links_total=1 lateness_p99_us=100 queue=0 up=" + up +
         " down=" + down + "\n";
}

// Walks the cluster from the process logged in to: `answers` by the last hop ("" for the
// first process); a process not in it does not answer. The JSON printed.
std::string Walk(const std::map<std::string, std::string>& answers, int& exit) {
  cStatusWalk walk(
      [&](const std::vector<std::string>& hops, std::string& text, double& secs) {
        secs = 0.001;
        const auto answer = answers.find(hops.empty() ? "" : hops.back());
        if (answer == answers.end()) return false;
        text = answer->second;
        return true;
      },
      "ops");
  char* printed = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&printed, &size);
  exit = walk.Run(true, out);
  std::fclose(out);
  std::string json(printed, size);
  std::free(printed);
  return json;
}

// Game (logged in to), its server global and its client map; global's answer comes too late
// and lands ahead of what map answers (`mapAnswer`).
std::string WalkWithLateGlobal(const std::string& mapAnswer, int& exit) {
  return Walk({{"", Line("game", "global:up:300", "ops,map")},
               {"map", Line("global", "-", "game") + mapAnswer}},
              exit);
}

TEST(CliStatus, ALateLineOfTheProcessAskedBeforeIsNotTakenForTheNextOnes) {
  int exit = -1;
  const std::string both = WalkWithLateGlobal(Line("map", "game:up:200", "-"), exit);
  EXPECT_EQ(exit, 1);
  EXPECT_NE(both.find("{\"name\":\"global\",\"parent\":\"game\",\"depth\":1,\"reachable\":false}"),
            std::string::npos)
      << both;
  EXPECT_NE(both.find("{\"name\":\"map\",\"parent\":\"game\",\"depth\":1,\"reachable\":true,"
                      "\"program\":\"map\""),
            std::string::npos)
      << both;
  // Map's own line missing: map did not answer, whatever came in its place.
  const std::string lateOnly = WalkWithLateGlobal("", exit);
  EXPECT_NE(lateOnly.find("{\"name\":\"map\",\"parent\":\"game\",\"depth\":1,\"reachable\":false}"),
            std::string::npos)
      << lateOnly;
}

// A process answers to its program's name too: one logged in as mapA may call itself map.
TEST(CliStatus, AProcessWhoseLineNamesItOtherwiseThanItsRouteIsStillRead) {
  int exit = -1;
  const std::string json =
      Walk({{"", Line("game", "-", "ops,mapA")}, {"mapA", Line("map", "-", "-")}}, exit);
  EXPECT_EQ(exit, 0) << json;
  EXPECT_NE(json.find("{\"name\":\"mapA\",\"parent\":\"game\",\"depth\":1,\"reachable\":true,"
                      "\"program\":\"map\""),
            std::string::npos)
      << json;
}

}  // namespace
