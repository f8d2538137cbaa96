#include "tessel/host/console_input.h"

#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A pipe standing in for standard input.
struct cFakeStdin {
  int fd[2];
  cFakeStdin() { EXPECT_EQ(::pipe(fd), 0); }
  ~cFakeStdin() {
    ::close(fd[0]);
    if (fd[1] >= 0) ::close(fd[1]);
  }
  void Type(const std::string& text) {
    ASSERT_EQ(::write(fd[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void Close() {
    ::close(fd[1]);
    fd[1] = -1;
  }
};

}  // namespace

TEST(ConsoleInput, SplitsTypedTextIntoLinesWithoutLineEnds) {
  cFakeStdin in;
  cConsoleInput input(in.fd[0]);
  in.Type("Ver()\r\n\nhel");
  std::string line;
  ASSERT_TRUE(input.ReadLine(line, 1000));
  EXPECT_EQ(line, "Ver()");
  ASSERT_TRUE(input.ReadLine(line, 1000));
  EXPECT_EQ(line, "") << "an empty line is a line";
  EXPECT_FALSE(input.ReadLine(line, 20)) << "half a line is not a line yet";
  in.Type("p()\n");
  ASSERT_TRUE(input.ReadLine(line, 1000));
  EXPECT_EQ(line, "help()");
}

TEST(ConsoleInput, WakeFromAnotherThreadReadsAsQ) {
  cFakeStdin in;
  cConsoleInput input(in.fd[0]);
  std::thread waker([&] { input.Wake(); });
  std::string line;
  EXPECT_TRUE(input.ReadLine(line, 5000));
  EXPECT_EQ(line, "q");
  waker.join();
}

TEST(ConsoleInput, AClosedInputGivesItsLastLineThenWaitsForAWakeUp) {
  cFakeStdin in;
  cConsoleInput input(in.fd[0]);
  in.Type("last");
  in.Close();
  std::string line;
  ASSERT_TRUE(input.ReadLine(line, 1000));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(input.ReadLine(line, 30)) << "end of input is not a quit";
  input.Wake();
  ASSERT_TRUE(input.ReadLine(line, 1000));
  EXPECT_EQ(line, "q");
}
