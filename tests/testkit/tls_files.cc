// Development certificates for TLS tests: runs scripts/tls-certs of the source tree.
#include "testkit/tls_files.h"

#include <cstdlib>

namespace testkit {

bool MakeTlsFiles(const std::string& dir, const std::vector<std::string>& servers,
                  const std::vector<std::string>& clients) {
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
