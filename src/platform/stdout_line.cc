#include "platform/stdout_line.h"

#include <unistd.h>

namespace platform {

void PrintLine(const std::string& text) {
  const std::string line = text + "\n";
  if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) return;
}

}  // namespace platform
