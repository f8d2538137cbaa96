// Keeps what is written to std::cout (the console and the command groups write there), or to
// another stream given, while it lives, with colour sequences off; log lines and the test
// framework's messages still reach the terminal. Header-only. One thread makes and destroys it;
// captures nest.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "testkit/scoped_env.h"

namespace testkit {

class cStdoutCapture {
 public:
  explicit cStdoutCapture(std::ostream& stream = std::cout)
      : m_stream(stream), m_former(stream.rdbuf(m_text.rdbuf())) {}
  ~cStdoutCapture() { m_stream.rdbuf(m_former); }
  cStdoutCapture(const cStdoutCapture&) = delete;
  cStdoutCapture& operator=(const cStdoutCapture&) = delete;

  // Everything written since the capture began.
  std::string Text() const { return m_text.str(); }
  // The same, and begins anew.
  std::string Take() {
    std::string text = m_text.str();
    m_text.str("");
    return text;
  }

 private:
  std::ostringstream m_text;
  std::ostream& m_stream;
  std::streambuf* m_former;
  ScopedEnv m_color{"TESSEL_COLOR", "0"};
};

}  // namespace testkit
