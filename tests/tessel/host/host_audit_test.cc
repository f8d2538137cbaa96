#include "tessel/host/host_audit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tessel/core/audit_trail.h"
#include "tessel/core/flight_ring.h"
#include "testkit/audit_files.h"
#include "testkit/wait.h"

namespace {

// The writer is held inside its clock while it writes the open line's successor: the events
// behind it are still queued when the crash report reads its view of the queue.
TEST(HostAudit, TheCrashReportsViewListsTheEventsStillQueuedWithPasswordsLeftOut) {
  testkit::cAuditFolder at;
  std::atomic<bool> hold{false}, held{false};
  const std::thread::id opener = std::this_thread::get_id();
  cAuditTrail::stOptions options = at.Options();
  options.clockUs = [&] {
    if (hold && std::this_thread::get_id() != opener) {
      held = true;
      for (int i = 0; i < 4000 && hold; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return at.nowUs.load();
  };
  cAuditTrail& trail = cAuditTrail::Instance();
  ASSERT_TRUE(trail.Open(options));
  hold = true;
  stAuditEvent event;
  event.source = eAuditSource::Console;
  for (const char* text : {"First()", "System('rm x')", "Login('ops','secret99')",
                           "SetConnect('global','',0,'','secret98')"}) {
    event.text = text;
    trail.Record(event);
  }
  EXPECT_TRUE(testkit::WaitUntil([&] { return held.load(); }));
  std::string report;
  QueuedAuditView().VisitLines(
      [](void* out, const char* text, size_t size) {
        static_cast<std::string*>(out)->append(text, size).append("\n");
      },
      &report);
  hold = false;
  trail.Close();
  EXPECT_NE(report.find("source=console"), std::string::npos) << report;
  EXPECT_NE(report.find("text=System('rm x')"), std::string::npos) << report;
  EXPECT_NE(report.find("text=Login(***)"), std::string::npos) << report;
  EXPECT_EQ(report.find("secret99"), std::string::npos) << report;
  EXPECT_EQ(report.find("secret98"), std::string::npos) << report;
}

}  // namespace
