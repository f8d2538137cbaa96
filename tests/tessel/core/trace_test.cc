#include "tessel/core/trace.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "tessel/core/log_routing.h"
#include "tessel/core/loggers.h"

namespace {

TEST(Trace, TheQualifiedNameDropsReturnTypeParametersAndQualifiers) {
  const std::pair<const char*, const char*> cases[] = {
      {"bool cTessel::Init(int)", "cTessel::Init"},
      {"static cTessel& cTessel::Instance()", "cTessel::Instance"},
      {"virtual void cBridge::Run(long unsigned int)", "cBridge::Run"},
      {"const std::string& cTesselValues::GetExe() const", "cTesselValues::GetExe"},
      {"int* make(std::map<int, int>)", "make"},
      {"bool cCmd::operator()(const char*) const", "cCmd::operator()"},
      {"std::map<int, int> ns::cA<T>::Get(T) [with T = int]", "ns::cA<T>::Get"},
      {"no_parameters", "no_parameters"},
  };
  for (const auto& [pretty, name] : cases) EXPECT_EQ(QualifiedFunctionName(pretty), name);
}

struct cTraceProbe {
  int line = 0;
  void Run() {
    line = __LINE__ + 1;
    TESSEL_TRACE();
  }
};

TEST(Trace, ATracedOperationWritesItsNameAndLineToTesselInfo) {
  SetupLogPrefixes();
  // The appender outlives this test (appenders stay for the process), so it owns what it
  // collects.
  struct collected {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  auto seen = std::make_shared<collected>();
  loglib::add_appender(
      loglib::default_manager(), "tessel.info",
      [seen](const std::string& line) {
        std::lock_guard lock(seen->mutex);
        seen->lines.push_back(line);
      },
      1);
  cTraceProbe probe;
  probe.Run();
  std::string expected = "cTraceProbe::Run(" + std::to_string(probe.line) + ")\n";
  std::lock_guard lock(seen->mutex);
  ASSERT_FALSE(seen->lines.empty());
  const std::string last = seen->lines.back();
  ASSERT_GE(last.size(), expected.size());
  EXPECT_EQ(last.substr(last.size() - expected.size()), expected) << last;
}

}  // namespace
