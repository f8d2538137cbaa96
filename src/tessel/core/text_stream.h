// The text stream format in which stores write values to and read them from standard streams:
// integers, length-prefixed strings and counted lists of pairs, with read limits that refuse
// absurd lengths and counts. Stateless; any thread may use it on its own streams.
#pragma once

#include <cstdint>
#include <exception>
#include <istream>
#include <list>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>

// The largest string length and element count the reader accepts.
constexpr std::uint32_t kStreamReadLimit = 102400;

class exception_steam : public std::exception {
 public:
  explicit exception_steam(const char* what) : m_what(what) {}
  const char* what() const noexcept override { return m_what; }

 private:
  const char* m_what;
};

class exception_steam_readoverflow : public exception_steam {
 public:
  exception_steam_readoverflow(const char* what, std::uint32_t size)
      : exception_steam(what), m_size(size) {}
  // The refused length or count.
  std::uint32_t m_size;
};

class exception_steam_readoverflow_string : public exception_steam_readoverflow {
 public:
  explicit exception_steam_readoverflow_string(std::uint32_t size)
      : exception_steam_readoverflow("exception_steam_readoverflow_string", size) {}
};

class exception_steam_readoverflow_container : public exception_steam_readoverflow {
 public:
  explicit exception_steam_readoverflow_container(std::uint32_t size)
      : exception_steam_readoverflow("exception_steam_readoverflow_container", size) {}
};

// Integers: the number and one blank; read with >>.
template <typename T>
requires std::is_integral_v<T> std::ostream& operator&(std::ostream& os, const T& value) {
  if constexpr (sizeof(T) == 1) {
    return os << static_cast<int>(value) << ' ';
  } else {
    return os << value << ' ';
  }
}

template <typename T>
requires std::is_integral_v<T> std::istream& operator&(std::istream& in, T& value) {
  if constexpr (sizeof(T) == 1) {
    int wide = 0;
    if (in >> wide) value = static_cast<T>(wide);
    return in;
  } else {
    return in >> value;
  }
}

// Strings: "0 " when empty, else the length, one blank, the bytes and one blank. Reading a
// length above the limit throws exception_steam_readoverflow_string; a stream that ends before
// the announced bytes fails and leaves the string empty.
std::ostream& operator&(std::ostream& os, const std::string& value);
std::istream& operator&(std::istream& in, std::string& value);

// Lists: the count (refused above the limit with exception_steam_readoverflow_container, also
// when it is not a number), the elements between two line feeds. Reading clears the list first
// and keeps only whole elements.
std::uint32_t ReadStreamCount(std::istream& in);

template <typename A, typename B>
std::ostream& operator&(std::ostream& os, const std::list<std::pair<A, B>>& items) {
  os << items.size() << '\n';
  for (const auto& [first, second] : items) {
    os& first& second;
  }
  return os << '\n';
}

template <typename A, typename B>
std::istream& operator&(std::istream& in, std::list<std::pair<A, B>>& items) {
  std::uint32_t count = ReadStreamCount(in);
  items.clear();
  for (std::uint32_t i = 0; i < count && in; ++i) {
    std::pair<A, B> item{};
    in& item.first& item.second;
    if (in) items.push_back(std::move(item));
  }
  return in;
}
