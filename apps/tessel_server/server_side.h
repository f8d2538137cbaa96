// The listening side of the sample server program: a named easy server on one port (0 picks a
// free one) of one local address. The host starts, drives and ends it.
#pragma once

#include <string>

#include "tessel/link/easy_server.h"

class cServerSide : public cEasyServer {
 public:
  // bindIp: IPv4 address in host byte order (0 = every interface).
  cServerSide(std::string name, int port, unsigned int bindIp)
      : m_name(std::move(name)), m_port(port), m_bindIp(bindIp) {}

  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return m_name.c_str(); }

 private:
  std::string m_name;
  int m_port;
  unsigned int m_bindIp;
};
