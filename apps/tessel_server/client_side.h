// One client link of the sample server program: connects to a named server on a port, logs in
// with the account of its login file or launch parameters, and connects and logs in again by
// itself after a disconnect; plain or TLS, packing its records or not. The host starts, drives
// and ends it; the login result arrives on the worker thread.
#pragma once

#include <string>

#include "tessel/link/easy_client.h"
#include "tessel/msg/bridge_interfaces.h"

class cClientSide : public cEasyClient, private iConnectDisconnect {
 public:
  cClientSide(std::string name, int port, int reconnectSeconds, bool tls, bool compress)
      : m_name(std::move(name)),
        m_port(port),
        m_reconnectSeconds(reconnectSeconds),
        m_tls(tls),
        m_compress(compress) {}

  // Fails when the link has no network client (its TLS files could not be used, say), so that
  // the program does not run without one of its links.
  bool Start() override;
  bool CreateTessel() override;
  void GetInfo(stClientInfo& info) override;
  const char* GetName() override { return m_name.c_str(); }

 private:
  // Told by the link: an accepted login marks the link logged in.
  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int id, int result) override;

  std::string m_name;
  int m_port;
  int m_reconnectSeconds;
  bool m_tls;
  bool m_compress;
  bool m_bLoaded = false;
};
