// Names the requester of the command being served so that an answer made later (a shell line,
// a site job, a deferred login) reaches the same connection or nobody: a newcomer that has taken
// the link's id since gets nothing. Worker thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class cBridge;
class iSend;

struct stLinkToken {
  bool local = true;  // the console asked
  bool serverSide = false;
  std::string bridgeName;
  unsigned linkId = 0;
  uint64_t serial = 0;  // the connection's serial on its endpoint (see LinkSerial)
  int level = 0;        // the group the answer goes to
  std::string returnPath;
};

// The requester of the command served now; a local token when none is served for a link.
stLinkToken ServingToken();
// A connection's serial: on a server side a number the endpoint gives each connection of a
// link id, on a client side the count of its connects; 0 when the link is not up.
uint64_t LinkSerial(cBridge& bridge, iSend* link);
// The endpoint the token names, found through the host; null when it has gone.
cBridge* FindTokenBridge(const stLinkToken& token);
// The token's connection on `bridge` while it is still the same one; null otherwise.
iSend* FindTokenLink(cBridge& bridge, const stLinkToken& token);
// Runs `body` as if the requester's command were served again, so that what it writes goes
// back to the requester (the console for a local token). False, and nothing run, when the
// connection is gone. `bridge` null: found through the host.
bool ServeAgain(const stLinkToken& token, cBridge* bridge, const std::function<void()>& body);
