// The standard modifiers: time prefix, thread id prefix and line end.
#include <ctime>
#include <string>
#include <vector>

#include "tessel/contracts/loglib.h"

namespace loglib {

namespace {

enum class field { text, year4, year2, month, day, hour, minute, second };

struct piece {
  field kind;
  std::string text;
};

// Splits a time format into literal text and '$' fields, longest field name first so that
// "$yyyy" is not read as "$yy" followed by "yy". An unknown '$' sequence stays literal.
std::vector<piece> parse_time_format(const std::string& format) {
  static const struct {
    const char* name;
    field kind;
  } kFields[] = {{"$yyyy", field::year4}, {"$yy", field::year2}, {"$MM", field::month},
                 {"$dd", field::day},     {"$hh", field::hour},  {"$mm", field::minute},
                 {"$ss", field::second}};
  std::vector<piece> out;
  size_t i = 0;
  while (i < format.size()) {
    bool matched = false;
    if (format[i] == '$') {
      for (const auto& f : kFields) {
        if (format.compare(i, std::char_traits<char>::length(f.name), f.name) == 0) {
          out.push_back({f.kind, {}});
          i += std::char_traits<char>::length(f.name);
          matched = true;
          break;
        }
      }
    }
    if (matched) continue;
    if (out.empty() || out.back().kind != field::text) out.push_back({field::text, {}});
    out.back().text += format[i++];
  }
  return out;
}

void append_two_digits(std::string& s, int v) {
  s += static_cast<char>('0' + (v / 10) % 10);
  s += static_cast<char>('0' + v % 10);
}

std::string format_time(const std::vector<piece>& pieces, std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  std::string s;
  for (const auto& p : pieces) {
    switch (p.kind) {
      case field::text:
        s += p.text;
        break;
      case field::year4:
        s += std::to_string(tm.tm_year + 1900);
        break;
      case field::year2:
        append_two_digits(s, tm.tm_year % 100);
        break;
      case field::month:
        append_two_digits(s, tm.tm_mon + 1);
        break;
      case field::day:
        append_two_digits(s, tm.tm_mday);
        break;
      case field::hour:
        append_two_digits(s, tm.tm_hour);
        break;
      case field::minute:
        append_two_digits(s, tm.tm_min);
        break;
      case field::second:
        append_two_digits(s, tm.tm_sec);
        break;
    }
  }
  return s;
}

}  // namespace

modifier prepend_time(const std::string& format) {
  auto pieces = parse_time_format(format);
  return [pieces](record& r) { r.text.insert(0, format_time(pieces, r.time)); };
}

modifier prepend_thread_id() {
  return [](record& r) { r.text.insert(0, "[" + std::to_string(r.thread) + "] "); };
}

modifier append_enter() {
  return [](record& r) {
    if (r.text.empty() || r.text.back() != '\n') r.text += '\n';
  };
}

}  // namespace loglib
