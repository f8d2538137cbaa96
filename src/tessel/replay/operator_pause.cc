#include "tessel/replay/operator_pause.h"

#include <poll.h>
#include <unistd.h>

#include <iostream>

namespace {

// How long the operator may take to answer.
constexpr int kAnswerWaitMs = 10 * 60 * 1000;

}  // namespace

bool OperatorPause() {
  if (::isatty(STDIN_FILENO) != 1) return false;
  std::cout << "请按任意键继续. . ." << std::endl;
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (::poll(&in, 1, kAnswerWaitMs) <= 0) return false;
  // The rest of the line is read, so the answer does not reach the console as a command.
  char c = 0;
  while (::read(STDIN_FILENO, &c, 1) == 1)
    if (c == '\n') return true;
  return false;
}
