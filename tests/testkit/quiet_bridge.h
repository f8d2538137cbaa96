// An endpoint without a network side: its command array, registry and logs are real, its link
// notices do nothing. Header-only; worker thread.
#pragma once

#include "tessel/link/bridge.h"

namespace testkit {

class cQuietBridge : public cBridge {
 public:
  void OnConnect(unsigned) override {}
  bool OnDisconnect(unsigned) override { return true; }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {}
};

}  // namespace testkit
