#include "tessel/host/alloc_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>

#include "platform/home_file.h"
#include "tessel/console/groups/cmd_os.h"
#include "tessel/core/unreadable_line.h"

namespace {

// The file's text; empty when it is missing, or, said once, when it is no regular file (a pipe
// would hold the start for ever, before SIGTERM can end it) or too large.
std::string ReadAid(const char* file) {
  std::string text;
  ReadReportedHomeFile(file, platform::kSettingsFileBytes, text);
  return text;
}

}  // namespace

void LoadAllocationAids() {
  std::istringstream breaks(ReadAid("allocbreak.ini"));
  int number;
  while (breaks >> number) std::cout << "_CrtSetBreakAlloc " << number << std::endl;
  std::istringstream sizes(ReadAid("allocsize.ini"));
  std::string logFile;
  if (!(sizes >> logFile)) return;
  // The log is created empty; nothing in the system writes to it. Made without waiting on a pipe
  // or following a link in its place.
  const int fd = ::open(logFile.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
  long first = 0, second = 0;
  if (sizes >> first >> second) cCmdOS::SetAlloc(first, second);
}
