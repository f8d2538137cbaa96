// The listening side of the sample server program: a named easy server on one port (0 picks a
// free one) of one local address, plain or TLS, packing its records or not. With TLS, the
// configuration value tls_client_cert = 1 demands client certificates. The host starts, drives
// and ends it.
#pragma once

#include <string>

#include "tessel/link/easy_server.h"

class cServerSide : public cEasyServer {
 public:
  // bindIp: IPv4 address in host byte order (0 = every interface).
  cServerSide(std::string name, int port, unsigned int bindIp, bool tls, bool compress)
      : m_name(std::move(name)), m_port(port), m_bindIp(bindIp), m_tls(tls), m_compress(compress) {}

  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return m_name.c_str(); }

 private:
  std::string m_name;
  int m_port;
  unsigned int m_bindIp;
  bool m_tls;
  bool m_compress;
};
