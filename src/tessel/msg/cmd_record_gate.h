// The gate a command record that this floor's senders (a sync object, the echo of a served
// record) put on a link passes first. The link floor installs the one send point's check, so
// that such a record carries the origin of the command being served as every other does.
// Worker thread only, except the installer, which any thread may call before the worker starts.
#pragma once

#include <string_view>

#include "tessel/msg/msg_records.h"

// True when the record may go to `link` now (what must go before it went); false when it must
// not go. Records of other types always pass.
using tCmdRecordGate = bool (*)(iSend* link, int group, std::string_view text);
void SetCmdRecordGate(tCmdRecordGate gate);
bool PassCmdRecordGate(iSend* link, const stMsg* msg, unsigned long size);
