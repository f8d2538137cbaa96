#include "platform/local_time.h"

namespace platform {

std::string FormatLocalTime(const char* format, std::time_t t) {
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return {};
  // strftime reports 0 both for "too small" and for an empty result; grow a few times only.
  std::string out(64, '\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    size_t n = std::strftime(out.data(), out.size(), format, &tm);
    if (n > 0) {
      out.resize(n);
      return out;
    }
    out.resize(out.size() * 4);
  }
  return {};
}

std::string LocalTimeNow(const char* format) {
  return FormatLocalTime(format, std::time(nullptr));
}

}  // namespace platform
