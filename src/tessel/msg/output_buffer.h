// The text a served command writes for its requester, kept up to a cap: what is written past it
// is only counted, so that a command printing in a loop cannot make the process hold gigabytes
// (a link takes far less in one answer anyway). Worker thread only, as the output stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>

class cOutputBuffer : public std::stringbuf {
 public:
  // Output a served command may collect for its requester: 16 MiB.
  static constexpr std::size_t kDefaultCap = std::size_t{16} << 20;

  explicit cOutputBuffer(std::size_t cap = kDefaultCap)
      : std::stringbuf(std::ios::out), m_cap(cap) {}

  // Bytes kept, and bytes written past the cap and left out. Single bytes may land in the
  // buffer's spare room past the cap without a call here: they count as left out.
  std::size_t Kept() const { return std::min(Held(), m_cap); }
  std::size_t LeftOut() const { return m_leftOut + (Held() - Kept()); }
  // What was kept, followed, when something was left out, by a line that says how much.
  std::string Text() const;
  // Empty again, nothing left out.
  void Reset();

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int_type overflow(int_type c) override;

 private:
  std::size_t Held() const { return static_cast<std::size_t>(pptr() - pbase()); }
  std::size_t m_cap;
  std::size_t m_leftOut = 0;
};
