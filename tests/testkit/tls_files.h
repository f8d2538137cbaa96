// Development certificates for TLS tests, made at run time by scripts/tls-certs into a folder
// the test owns: ca.crt and ca.key, then NAME.crt and NAME.key for each name (its DNS name, or
// its IP address when the name is one), for server use (`servers`) or client use (`clients`)
// only, and locked.key: the first name's key under the passphrase "pw". Main thread.
#pragma once

#include <string>
#include <vector>

namespace testkit {

bool MakeTlsFiles(const std::string& dir, const std::vector<std::string>& servers,
                  const std::vector<std::string>& clients = {});

}  // namespace testkit
