// A real host with its worker, in a child process: a fault inside a cycle.
#include "faults.h"
#include "testkit/child_process.h"
#include "testkit/host_fixture.h"

TESSEL_CHILD_SCENARIO(host_write_null) {
  return RunProgramHost("zone = 3", FaultWriteNull);
}

namespace {

void ExpectExceptionEnd(const testkit::cTempDir& dir, const stChildResult& r,
                        const char* description) {
  ASSERT_TRUE(r.exited) << "signal " << r.signo << "\n" << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      r.out, {description, "exception catched ", "【严重错误】exception catched status: 3",
              "program quit... ", "main returned", "Exception wait 1\n", "Exception wait 3\n",
              "ended in order"}));
  EXPECT_TRUE(
      testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")),
                       {description, "Exception handler called in tessel_child.",
                        "Context:", "Stack:", "Module 1", "===== [end of ERRORLOG.TXT] ====="}));
  EXPECT_TRUE(testkit::FileExists(dir.file("tessel_child.dmp")));
  const std::string registry = testkit::ReadFile(dir.file("registry/Software/tessel_child.ini"));
  EXPECT_TRUE(testkit::InOrder(
      registry, {"crash = 【严重错误】exception catched status: 3\\nin run \\n", "crashtime = "}));
  EXPECT_NE(registry.find("endtime = "), std::string::npos);
  EXPECT_NE(registry.find("exittime = "), std::string::npos);
  EXPECT_NE(testkit::ReadFolder(dir.path() / "log/tessel_child/tessel.fetalerror")
                .find("【严重错误】exception catched status: 3"),
            std::string::npos);
  EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")),
            "tessel_child|tessel_child|zone = 3");
}

}  // namespace

// One fault in a cycle of the real worker; the other faults, the report tool's absence and
// the console signals are covered by the end-to-end faults and lifecycle suites.
TEST(HostCrash, AFaultInACycleTakesTheExceptionEnd) {
  testkit::cTempDir dir;
  ExpectExceptionEnd(dir, RunChildScenario(dir.path(), "host_write_null", true),
                     "caused an Access Violation");
}
