#include "tessel/host/host_audit.h"

#include <algorithm>
#include <string_view>

#include "tessel/core/audit_trail.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/flight_ring.h"
#include "tessel/core/login_text.h"
#include "tessel/core/tessel_values.h"
#include "tessel/link/cmd_audit.h"

namespace {

constexpr const char* kAuditFolder = "log/audit/";
constexpr const char* kAuditKey = "config/audit.key";
constexpr const char* kCrashReport = "ERRORLOG.TXT";

// One field; control bytes and every byte outside ASCII as '.' (the report goes to a terminal
// too), and nothing from a word "Login" or "SetConnect" on (a password may follow).
void WriteField(cFixedLine& out, const char* name, std::string_view value) {
  out.Str(" ").Str(name).Str("=");
  std::string_view word;
  const size_t login = SecretWordAt(value, &word);
  for (size_t i = 0; i < std::min(value.size(), login); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    const char c = byte < 0x20 || byte >= 0x7f ? '.' : value[i];
    out.Bytes(&c, 1);
  }
  if (login != std::string_view::npos) out.Bytes(word.data(), word.size()).Str("(***)");
}

// The crash report's view of the trail's queue: the events not yet written when it faulted.
class cQueuedAuditView final : public cFlightRingBase {
 public:
  cQueuedAuditView() : cFlightRingBase("Audit lines still queued (source, origin, text)") {}
  uint64_t Added() const override { return cAuditTrail::Instance().Queued(); }
  void VisitLines(LineFunc line, void* context) const override {
    stVisit visit{line, context};
    cAuditTrail::Instance().ReadQueued(&Visit, &visit);
  }

 private:
  struct stVisit {
    LineFunc line;
    void* context;
  };
  static void Visit(const char* packed, size_t size, void* arg) {
    const auto& visit = *static_cast<stVisit*>(arg);
    stAuditEvent event;
    if (!UnpackAuditEvent({packed, size}, &event)) return;
    static char text[1024];
    cFixedLine out(text, sizeof text);
    out.Str("source=").Str(AuditSourceName(event.source));
    WriteField(out, "origin", event.origin);
    WriteField(out, "peer", event.peer);
    WriteField(out, "route", event.route);
    WriteField(out, "group", event.group);
    out.Str(" outcome=").Str(AuditOutcomeName(event.outcome));
    out.Str(" len=").Dec(event.textLength);
    WriteField(out, "text", event.text);
    visit.line(visit.context, text, out.Size());
  }
};

}  // namespace

void OpenHostAudit() {
  if (GetConfigValue("audit", 1) == 0) return;
  const std::string process = cTesselValues::Instance().GetExeName();
  cAuditScope::SetProcess(process);
  cAuditTrail::stOptions options;
  options.folder = kAuditFolder + process;
  options.keyFile = kAuditKey;
  options.process = process;
  options.crashReport = kCrashReport;
  if (!cAuditTrail::Instance().Open(options)) return;
  cCmdAudit::Install();
  RegisterFlightRing(&QueuedAuditView());
}

const cFlightRingBase& QueuedAuditView() {
  static const cQueuedAuditView s_view;
  return s_view;
}

void CloseHostAudit() {
  cAuditTrail::Instance().Close();
}
