#include "tessel/host/console_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

// Typed text splits into lines without their ends; half a line waits; a closed input gives its
// last line and then waits for a wake-up, which reads as "q" from any thread.
TEST(ConsoleInput, LinesHalfLinesEndOfInputAndWakeUps) {
  int fd[2];
  ASSERT_EQ(::pipe(fd), 0);
  cConsoleInput input(fd[0]);
  const auto type = [&](const std::string& text) {
    ASSERT_EQ(::write(fd[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  std::string line;
  std::string lines;
  type("Ver()\r\n\nhel");
  while (input.ReadLine(line, 20)) lines += "[" + line + "]";
  EXPECT_EQ(lines, "[Ver()][]");
  type("p()\nlast");
  ::close(fd[1]);
  while (input.ReadLine(line, 20)) lines += "[" + line + "]";
  EXPECT_EQ(lines, "[Ver()][][help()][last]") << "end of input is not a quit";
  std::thread waker([&] { input.Wake(); });
  EXPECT_TRUE(input.ReadLine(line, 5000));
  EXPECT_EQ(line, "q");
  waker.join();
  ::close(fd[0]);
}
