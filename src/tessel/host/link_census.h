// A count of the process's links and queues, taken from the host's easy servers and clients:
// links by side and state, records and bytes waiting for the worker, bytes waiting to be sent.
// Worker thread (it walks the endpoints).
#pragma once

#include <cstdint>

class cTessel;

struct stLinkCensus {
  enum : int { kServer = 0, kClient = 1 };
  uint32_t serverLoggedIn = 0;   // server links whose peer logged in
  uint32_t serverLoggingIn = 0;  // server links not (yet) logged in
  uint32_t clientLoggedIn = 0;   // client links logged in upstream
  uint32_t clientLoggingIn = 0;  // client links connected, not logged in
  uint32_t clientDown = 0;       // client links not connected
  uint64_t queueRecords[2] = {};
  uint64_t queueBytes[2] = {};
  uint64_t unsentBytes[2] = {};

  uint32_t LinksUp() const { return serverLoggedIn + clientLoggedIn; }
  uint32_t LinksTotal() const { return LinksUp() + serverLoggingIn + clientLoggingIn + clientDown; }
  uint64_t QueueRecords() const { return queueRecords[kServer] + queueRecords[kClient]; }
};

stLinkCensus TakeLinkCensus(cTessel& host);
