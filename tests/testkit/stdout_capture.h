// Keeps what is written to std::cout (the console and the command groups write there) while
// the object lives, with colour sequences switched off so that the text does not depend on the
// terminal. Log lines and the test framework's own messages, which go to the C stream, still
// reach the terminal. Header-only. One thread makes and destroys it; captures nest.
#pragma once

#include <stdlib.h>

#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace testkit {

class cStdoutCapture {
 public:
  cStdoutCapture() : m_former(std::cout.rdbuf(m_text.rdbuf())) {
    if (const char* old = ::getenv("TESSEL_COLOR")) m_color = old;
    ::setenv("TESSEL_COLOR", "0", 1);
  }
  ~cStdoutCapture() {
    std::cout.rdbuf(m_former);
    if (m_color)
      ::setenv("TESSEL_COLOR", m_color->c_str(), 1);
    else
      ::unsetenv("TESSEL_COLOR");
  }
  cStdoutCapture(const cStdoutCapture&) = delete;
  cStdoutCapture& operator=(const cStdoutCapture&) = delete;

  // Everything written since the capture began.
  std::string Text() const { return m_text.str(); }

 private:
  std::ostringstream m_text;
  std::streambuf* m_former;
  std::optional<std::string> m_color;
};

}  // namespace testkit
