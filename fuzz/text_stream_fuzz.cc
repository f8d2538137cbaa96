// Every typed read of the text stream on arbitrary bytes, in an order the input picks. A value
// that reads is written again and must read back to itself; the only exceptions are the
// stream's own read-overflow ones.
#include <cstdint>
#include <map>
#include <sstream>

#include "fuzz_kit.h"
#include "tessel/core/string_value.h"
#include "tessel/core/text_stream.h"

namespace {

// The stream form of a value; for a store, of its tables in key order.
template <typename T>
std::string Write(const T& value) {
  std::ostringstream os;
  os& value;
  return os.str();
}
std::string Key(const auto& value) {
  return Write(value);
}
std::string Key(const cStringValue& store) {
  const auto values = store.GetValues();
  const auto strings = store.GetStrings();
  const std::map<std::string, int> v(values.begin(), values.end());
  const std::map<std::string, std::string> s(strings.begin(), strings.end());
  return Write(std::list<std::pair<std::string, int>>(v.begin(), v.end())) +
         Write(std::list<std::pair<std::string, std::string>>(s.begin(), s.end()));
}

template <typename T>
void ReadOne(std::istream& in) {
  T value{};
  in& value;
  if (!in) return;
  std::istringstream again(Write(value));
  T copy{};
  again& copy;
  FUZZ_CHECK(again && Key(copy) == Key(value), Key(value), Key(copy));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint32_t order = input.ConsumeIntegral<uint32_t>();
  std::istringstream in(input.ConsumeRemainingBytesAsString());
  using Pairs = std::list<std::pair<std::string, int64_t>>;
  using Bytes = std::list<std::pair<uint8_t, std::string>>;
  void (*const reads[])(std::istream&) = {
      ReadOne<int8_t>,      ReadOne<uint8_t>,  ReadOne<int16_t>,      ReadOne<uint16_t>,
      ReadOne<int32_t>,     ReadOne<uint32_t>, ReadOne<int64_t>,      ReadOne<uint64_t>,
      ReadOne<bool>,        ReadOne<Pairs>,    ReadOne<Bytes>,        ReadOne<std::string>,
      ReadOne<std::string>, ReadOne<Pairs>,    ReadOne<cStringValue>, ReadOne<cStringValue>};
  try {
    for (int step = 0; step < 8 && in; ++step) reads[(order >> (4 * step)) & 15](in);
  } catch (const exception_steam&) {
  }
  return 0;
}
