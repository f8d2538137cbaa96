#include "tessel/host/alloc_watch.h"

#include <fstream>
#include <iostream>
#include <string>

#include "tessel/console/groups/cmd_os.h"

void LoadAllocationAids() {
  if (std::ifstream breaks("allocbreak.ini"); breaks) {
    int number;
    while (breaks >> number) std::cout << "_CrtSetBreakAlloc " << number << std::endl;
  }
  std::ifstream sizes("allocsize.ini");
  std::string logFile;
  if (!sizes || !(sizes >> logFile)) return;
  // The log is created empty; nothing in the system writes to it.
  std::ofstream(logFile, std::ios::trunc);
  long first = 0, second = 0;
  if (sizes >> first >> second) cCmdOS::SetAlloc(first, second);
}
