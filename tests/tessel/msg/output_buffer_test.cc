#include "tessel/msg/output_buffer.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

// Single bytes written past the cap (a char, std::endl) land in the buffer's spare room without
// a call to it: they are left out and counted as the rest is, and the text keeps its cap.
TEST(OutputBuffer, SingleBytesPastTheCapAreLeftOutAndCounted) {
  cOutputBuffer buffer(100);
  std::ostream out(&buffer);
  out << std::string(110, 'a');
  for (int i = 0; i < 100; ++i) out << 'c' << std::endl;
  EXPECT_EQ(buffer.Kept(), 100u);
  EXPECT_EQ(buffer.Text(), std::string(100, 'a') +
                               "\nostreamCmd output cut: 210 bytes left out (a served command "
                               "keeps at most 100 bytes of output)\n");
}

}  // namespace
