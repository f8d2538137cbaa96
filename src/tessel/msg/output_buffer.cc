#include "tessel/msg/output_buffer.h"

#include <algorithm>

std::string cOutputBuffer::Text() const {
  std::string text = str().substr(0, Kept());
  if (LeftOut() == 0) return text;
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text + "ostreamCmd output cut: " + std::to_string(LeftOut()) +
         " bytes left out (a served command keeps at most " + std::to_string(m_cap) +
         " bytes of output)\n";
}

void cOutputBuffer::Reset() {
  str(std::string());
  m_leftOut = 0;
}

// The stream always hears that everything was written: a command goes on whatever it prints.
std::streamsize cOutputBuffer::xsputn(const char* text, std::streamsize count) {
  if (count <= 0) return 0;
  const std::size_t room = m_cap > Kept() ? m_cap - Kept() : 0;
  const std::size_t take = std::min(static_cast<std::size_t>(count), room);
  if (take > 0) std::stringbuf::xsputn(text, static_cast<std::streamsize>(take));
  m_leftOut += static_cast<std::size_t>(count) - take;
  return count;
}

// Single bytes land in the buffer's spare room without a call; the room grows only here.
cOutputBuffer::int_type cOutputBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  if (Kept() < m_cap) return std::stringbuf::overflow(c);
  ++m_leftOut;
  return c;
}
