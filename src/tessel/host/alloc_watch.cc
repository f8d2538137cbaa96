#include "tessel/host/alloc_watch.h"

#include <atomic>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::atomic<int> g_watchFirst{0};
std::atomic<int> g_watchSecond{0};

}  // namespace

void SetAllocWatch(int first, int second) {
  g_watchFirst = first;
  g_watchSecond = second;
}

std::pair<int, int> GetAllocWatch() {
  return {g_watchFirst.load(), g_watchSecond.load()};
}

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
  int first = 0, second = 0;
  if (sizes >> first >> second) SetAllocWatch(first, second);
}
