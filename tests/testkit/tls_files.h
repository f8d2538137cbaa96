// Development certificates for TLS tests, made at run time by scripts/tls-certs into a folder
// the test owns: ca.crt and ca.key, then NAME.crt and NAME.key for each name (its DNS name, or
// its IP address when the name is one), for server use (`servers`) or client use (`clients`)
// only, and locked.key: the first name's key under the passphrase "pw". Header-only; main thread.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace testkit {

inline bool MakeTlsFiles(const std::string& dir, const std::vector<std::string>& servers,
                         const std::vector<std::string>& clients = {}) {
  std::string command = "bash '" TESSEL_SOURCE_DIR "/scripts/tls-certs' '" + dir + "'";
  for (const std::string& name : servers) command += " '" + name + "'";
  if (!clients.empty()) command += " --client";
  for (const std::string& name : clients) command += " '" + name + "'";
  const std::string& first = servers.empty() ? clients.front() : servers.front();
  command += " && openssl pkey -aes256 -passout pass:pw -in '" + dir + "/" + first +
             ".key' -out '" + dir + "/locked.key'";
  return std::system(command.c_str()) == 0;
}

}  // namespace testkit
