#include "tessel/host/console_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "testkit/descriptor_limit.h"

// Typed text splits into lines without their ends; half a line waits; a closed input gives its
// last line (end of input is not a quit) and then waits for a wake-up, which reads as "q" from
// any thread.
TEST(ConsoleInput, LinesHalfLinesEndOfInputAndWakeUps) {
  int fd[2];
  ASSERT_EQ(::pipe(fd), 0);
  cConsoleInput input(fd[0]);
  std::string line, lines;
  for (const auto& [typed, after] :
       {std::pair<std::string, const char*>{"Ver()\r\n\nhel", "[Ver()][]"},
        {"p()\nlast", "[Ver()][][help()][last]"}}) {
    ASSERT_EQ(::write(fd[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    if (typed.ends_with("last")) ::close(fd[1]);
    while (input.ReadLine(line, 20)) lines += "[" + line + "]";
    EXPECT_EQ(lines, after);
  }
  std::thread waker([&] { input.Wake(); });
  EXPECT_TRUE(input.ReadLine(line, 5000));
  EXPECT_EQ(line, "q");
  waker.join();
  ::close(fd[0]);
#ifndef TESSEL_SANITIZED
  // Made with no descriptor left for its wake-up pipe, it reads a wake-up all the same.
  cConsoleInput bare((testkit::cDescriptorLimit(), -1));  // an input that never ends
  bare.Wake();
  EXPECT_TRUE(bare.ReadLine(line, 5000) && line == "q");
#endif
}

// A line without end is dropped once it passes the bound, up to its end; the next line reads.
TEST(ConsoleInput, ALineLongerThanTheBoundIsDroppedUpToItsEnd) {
  int fd[2];
  ASSERT_EQ(::pipe(fd), 0);
  cConsoleInput input(fd[0]);
  std::thread typist([&] {
    const std::string text = std::string(2 * cConsoleInput::kMaxLineBytes, 'x') + "\nVer()\n";
    for (ssize_t at = 0, n = 0; at < ssize_t(text.size()) && n >= 0; at += n)
      n = ::write(fd[1], text.data() + at, text.size() - size_t(at));
    ::close(fd[1]);
  });
  std::string line;
  EXPECT_TRUE(input.ReadLine(line, 20000));
  EXPECT_TRUE(line == "Ver()") << line.size();
  typist.join();
  ::close(fd[0]);
}
