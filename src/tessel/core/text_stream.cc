#include "tessel/core/text_stream.h"

std::ostream& operator&(std::ostream& os, const std::string& value) {
  if (value.empty()) return os << "0 ";
  os << value.size() << ' ';
  os.write(value.data(), static_cast<std::streamsize>(value.size()));
  return os << ' ';
}

std::istream& operator&(std::istream& in, std::string& value) {
  std::uint32_t length = 0;
  value.clear();
  if (!(in >> length)) return in;
  if (length == 0) return in;
  if (length > kStreamReadLimit) throw exception_steam_readoverflow_string(length);
  // The blank between the length and the bytes.
  in.get();
  value.resize(length);
  in.read(value.data(), length);
  if (in.gcount() != static_cast<std::streamsize>(length)) {
    // Fewer bytes than announced: never hand out a half-filled string.
    value.clear();
    in.setstate(std::ios::failbit);
  }
  return in;
}

std::uint32_t ReadStreamCount(std::istream& in) {
  std::uint32_t count = kStreamReadLimit + 1;
  // A count that does not parse is refused like one that is too large.
  if (!(in >> count)) count = kStreamReadLimit + 1;
  if (count > kStreamReadLimit) throw exception_steam_readoverflow_container(count);
  return count;
}
