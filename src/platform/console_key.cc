#include "platform/console_key.h"

#include <unistd.h>

namespace platform {

bool WaitOneKey() {
  if (::isatty(STDIN_FILENO) != 1) return false;
  char key = 0;
  return ::read(STDIN_FILENO, &key, 1) == 1;
}

}  // namespace platform
