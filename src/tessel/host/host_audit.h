// The host's audit trail: opened at start under log/audit/<exe name>/ with the key
// config/audit.key (unless the configuration value "audit" is 0), closed at an orderly end; a
// crash report lists the events still queued (a flight ring view of the trail's queue). Main
// thread.
#pragma once

class cFlightRingBase;

// Opens the trail and installs the received records' audit hook and the crash report's view.
void OpenHostAudit();
// Writes everything queued and the closing line.
void CloseHostAudit();
// The crash report's view of the trail's queue (registered by OpenHostAudit).
const cFlightRingBase& QueuedAuditView();
