#include "tessel/core/trace.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <vector>

#include "tessel/core/log_routing.h"
#include "tessel/core/loggers.h"

namespace {

TEST(Trace, TheQualifiedNameDropsReturnTypeParametersAndQualifiers) {
  EXPECT_EQ(QualifiedFunctionName("bool cTessel::Init(int)"), "cTessel::Init");
  EXPECT_EQ(QualifiedFunctionName("cTessel::cTessel()"), "cTessel::cTessel");
  EXPECT_EQ(QualifiedFunctionName("static cTessel& cTessel::Instance()"), "cTessel::Instance");
  EXPECT_EQ(QualifiedFunctionName("virtual void cBridge::Run(long unsigned int)"), "cBridge::Run");
  EXPECT_EQ(QualifiedFunctionName("const std::string& cTesselValues::GetExe() const"),
            "cTesselValues::GetExe");
  EXPECT_EQ(QualifiedFunctionName("int* make(std::map<int, int>)"), "make");
  EXPECT_EQ(QualifiedFunctionName("bool cCmd::operator()(const char*) const"), "cCmd::operator()");
  EXPECT_EQ(QualifiedFunctionName("std::map<int, int> ns::cA<T>::Get(T) [with T = int]"),
            "ns::cA<T>::Get");
  EXPECT_EQ(QualifiedFunctionName("no_parameters"), "no_parameters");
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

TEST(Trace, ThePositionBannerNamesFileLineAndFunction) {
  ::setenv("TESSEL_COLOR", "0", 1);
  testing::internal::CaptureStdout();
  WritePositionBanner("src/x.cc", 42, "void cTessel::SetProgram(const char*)");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "【Dump】src/x.cc(42) [cTessel::SetProgram] ");
  ::unsetenv("TESSEL_COLOR");
}

}  // namespace
