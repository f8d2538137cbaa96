// The cluster view's walk: a status line that came too late to its own question and landed in
// the next one's answer is not taken for the next process's.
#include "tessel_cli/cli_status.h"

#include <chrono>
#include <cstdio>
#include <map>

#include <gtest/gtest.h>

namespace {

std::string Line(const std::string& name, const std::string& up, const std::string& down) {
  return "status name=" + name + " program=" + name +
         " version=1 uptime_s=5 links_up=1 links_total=1 lateness_p99_us=9 queue=0 up=" + up +
         " down=" + down + "\n";
}

// Walks the cluster: `answers` by the last hop ("" for the first process), after `answerSecs`; a
// process not in it does not answer, after `waitSecs`. The JSON printed; `code` the exit code.
std::string Walk(const std::map<std::string, std::string>& answers, int* code = nullptr,
                 double waitSecs = 0.001, double answerSecs = 0.001, bool json = true) {
  cStatusWalk walk(
      [&](const std::vector<std::string>& hops, std::string& text, double& secs) {
        const auto answer = answers.find(hops.empty() ? "" : hops.back());
        secs = answer == answers.end() ? waitSecs : answerSecs;
        text = answer == answers.end() ? "" : answer->second;
        return answer != answers.end();
      },
      "ops");
  char* printed = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&printed, &size);
  const int exit = walk.Run(json, out);
  if (code != nullptr) *code = exit;
  std::fclose(out);
  std::string shown(printed, size);
  std::free(printed);
  return shown;
}

// Game's server global did not answer in time; its line came ahead of map's answer.
TEST(CliStatus, ALateLineOfTheProcessAskedBeforeIsNotTakenForTheNextOnes) {
  const std::string game = Line("game", "global:up:300", "ops,map"),
                    late = Line("global", "-", "-");
  const std::string both = Walk({{"", game}, {"map", late + Line("map", "-", "-")}});
  EXPECT_NE(both.find(R"("name":"global","parent":"game","depth":1,"reachable":false})"),
            std::string::npos)
      << both;
  EXPECT_NE(both.find(R"("name":"map","parent":"game","depth":1,"reachable":true,"program":"map")"),
            std::string::npos)
      << both;
  const std::string lateOnly = Walk({{"", game}, {"map", late}});
  EXPECT_NE(lateOnly.find(R"("map","parent":"game","depth":1,"reachable":false,"answered":true})"),
            lateOnly.npos);
  // An answer without a status line is no unreachable process: it was shown as one.
  EXPECT_NE(Walk({{"", game}, {"map", "no Status\n"}}, nullptr, 0, 0, false)
                .find("├─ global  unreachable\n└─ map  answered without a status line\n"),
            std::string::npos);
}

// A process answers to its program's name too: one logged in as mapA may call itself map.
TEST(CliStatus, AProcessWhoseLineNamesItOtherwiseThanItsRouteIsStillRead) {
  std::string json = Walk({{"", Line("game", "-", "mapA")}, {"mapA", Line("map", "-", "-")}});
  EXPECT_NE(
      json.find(R"("name":"mapA","parent":"game","depth":1,"reachable":true,"program":"map")"),
      std::string::npos)
      << json;
  // Names beyond ASCII are walked as they are: shown as '?', two of one length were one name.
  json = Walk({{"", Line("游戏", "-", "地图,地址")},
               {"地图", Line("地图", "-", "-")},
               {"地址", Line("地址", "-", "-")}});
  EXPECT_NE(json.find(R"("name":"地址","parent":"游戏","depth":1,"reachable":true)"), json.npos)
      << json;
  EXPECT_EQ(Walk({{"", Line("a\u0085", "-", "-")}}).find(R"(e":true)"), json.npos);
}

// A process may name any number of others, each further on: the walk stops at its bounds and
// says how many it did not ask.
TEST(CliStatus, TheWalkIsBoundedInProcessesAndHops) {
  std::map<std::string, std::string> chain{{"", Line("p0", "-", "p1")}};
  for (int i = 1; i < 40; ++i)
    chain["p" + std::to_string(i)] =
        Line("p" + std::to_string(i), "-", "p" + std::to_string(i + 1));
  int code = 0;
  std::string json = Walk(chain, &code);
  EXPECT_NE(json.find(R"("name":"p32","parent":"p31","depth":32)"), std::string::npos);
  EXPECT_EQ(json.find(R"("name":"p33")"), std::string::npos);
  EXPECT_NE(json.find(R"(],"not_asked":1})"), std::string::npos) << json.substr(json.size() - 40);
  EXPECT_EQ(code, 1);

  std::string many;
  for (int i = 0; i < 2000; ++i) many += (i ? "," : "") + std::string("m") + std::to_string(i);
  json = Walk({{"", Line("game", "-", many)}}, &code);
  EXPECT_NE(json.find(R"("name":"m1022")"), std::string::npos);
  EXPECT_EQ(json.find(R"("name":"m1023")"), std::string::npos);
  EXPECT_NE(json.find(R"(],"not_asked":977})"), std::string::npos) << json.substr(json.size() - 40);
  // Waits of 5 s for processes that never answer: after 12 of them, a minute, the walk ends.
  json = Walk({{"", Line("game", "-", many)}}, &code, 5);
  EXPECT_NE(json.find(R"(],"not_asked":1988})"), std::string::npos);
  // Answers that each take 10 s: after 300 s of questions in all, the walk ends.
  EXPECT_EQ(Walk(chain, &code, 5, 10).find(R"("name":"p30")"), std::string::npos);

  // A megabyte of names is walked at once; a name longer than any process has is no name.
  many.clear();
  for (int i = 0; i < 200000; ++i) many += (i ? "," : "") + std::to_string(i);
  const auto start = std::chrono::steady_clock::now();
  json = Walk({{"", Line("game", "-", many)}}, &code);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // 44 s before
  EXPECT_NE(json.find(R"(],"not_asked":198977})"), std::string::npos);
  EXPECT_EQ(Walk({{"", Line("g", "-", std::string(129, 'a'))}}).find(R"(e":true)"), json.npos);
}

// "--json" is taken where an option stands, never as the value of -p or -c.
TEST(CliStatus, TheJsonOptionIsNeverTakenFromAnOptionsValue) {
  auto take = [](std::vector<std::string> words) {
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    bool json = false;
    TakeJsonWord(args, json);
    return std::to_string(json) + " " + args[args.size() - 2];
  };
  EXPECT_EQ(take({"status", "-u", "ops", "--json", "h:1"}), "1 ops");
  EXPECT_EQ(take({"status", "-p", "--json", "h:1"}), "0 --json");
  EXPECT_EQ(take({"status", "-c", "--json", "--json", "h:1"}), "1 --json");
}

}  // namespace
