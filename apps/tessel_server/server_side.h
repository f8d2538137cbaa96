// The listening side of the sample server program: a named easy server on one port (0 picks a
// free one) of one local address, keeping at most a given number of links open, plain or TLS,
// packing its records or not. With TLS, the
// configuration value tls_client_cert = 1 demands client certificates. The host starts, drives
// and ends it.
#pragma once

#include <string>

#include "tessel/link/easy_server.h"

class cServerSide : public cEasyServer {
 public:
  // bindIp: IPv4 address in host byte order (0 = every interface); maxLinks: 0 = no bound.
  cServerSide(std::string name, int port, unsigned int bindIp, unsigned int maxLinks, bool tls,
              bool compress)
      : m_name(std::move(name)),
        m_port(port),
        m_bindIp(bindIp),
        m_maxLinks(maxLinks),
        m_tls(tls),
        m_compress(compress) {}

  // With TLS, a tls_client_cert other than 0 or 1, one in the string file alone, or one the
  // integer file's load did not reach, stops the start.
  bool CreateTessel() override;
  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return m_name.c_str(); }

 private:
  std::string m_name;
  int m_port;
  unsigned int m_bindIp;
  unsigned int m_maxLinks;
  bool m_tls;
  bool m_compress;
};
