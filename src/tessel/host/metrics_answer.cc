#include "tessel/host/metrics_answer.h"

#include <prometheus/counter.h>
#include <prometheus/registry.h>
#include <prometheus/summary.h>
#include <prometheus/text_serializer.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr char kBodyRefused[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 31\r\n"
    "Connection: close\r\n\r\na scrape sends no request body\n";

// Methods a web server knows; others are a bad request. The writing ones are not allowed.
constexpr std::string_view kMethods[] = {
    "GET",    "HEAD",  "POST",  "OPTIONS", "CONNECT", "TRACE", "REPORT", "PROPFIND", "PUT",
    "DELETE", "PATCH", "MKCOL", "LOCK",    "UNLOCK",  "MOVE",  "COPY",   "PROPPATCH"};
constexpr size_t kFirstWriting = 8;

std::string ErrorAnswer(std::string_view version, int code, std::string_view reason,
                        std::string_view text) {
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  // HTTP's date, in English whatever the process's locale.
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::snprintf(date, sizeof date, "%s, %02d %s %d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7],
                utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  const std::string number = std::to_string(code), words(reason);
  return "HTTP/" + std::string(version) + " " + number + " " + words +
         "\r\nCache-Control: no-cache, no-store, must-revalidate, private, max-age=0\r\n"
         "Expires: 0\r\nPragma: no-cache\r\nContent-Type: text/plain; charset=utf-8\r\nDate: " +
         date + "\r\nConnection: close\r\n\r\nError " + number + ": " + words + "\n" +
         std::string(text);
}

// The value of header `name` (its name in any case); empty when absent, `found` says which.
std::string_view Header(std::string_view head, std::string_view name, bool* found = nullptr) {
  for (size_t at = head.find('\n'); at != std::string_view::npos; at = head.find('\n', at + 1)) {
    std::string_view line = head.substr(at + 1, head.find('\n', at + 1) - at - 1);
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        !std::equal(name.begin(), name.end(), line.begin(), [](unsigned char a, unsigned char b) {
          return std::tolower(a) == std::tolower(b);
        }))
      continue;
    line.remove_prefix(name.size() + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (found != nullptr) *found = true;
    return line;
  }
  return {};
}

// The path of a request's target: the query left out, %XX decoded, "." and ".." resolved.
std::string PathOf(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string decoded;
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() &&
        std::isxdigit(static_cast<unsigned char>(target[i + 1])) != 0 &&
        std::isxdigit(static_cast<unsigned char>(target[i + 2])) != 0) {
      decoded += static_cast<char>(std::stoi(std::string(target.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      decoded += target[i];
    }
  }
  std::vector<std::string> parts;
  for (size_t at = 0; at <= decoded.size();) {
    const size_t slash = std::min(decoded.find('/', at), decoded.size());
    const std::string part = decoded.substr(at, slash - at);
    if (part == ".." && !parts.empty()) parts.pop_back();
    if (!part.empty() && part != "." && part != "..") parts.push_back(part);
    at = slash + 1;
  }
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

// The text in gzip's format; empty when zlib fails (the text then goes as it is).
std::string Gzip(const std::string& text) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS + 16, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return {};
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  out.resize(done ? stream.total_out : 0);
  deflateEnd(&stream);
  return out;
}

}  // namespace

// The serving's own families, as scrapers have always seen them ahead of the process's.
struct stServingCounts {
  prometheus::Registry registry;
  prometheus::Counter& bytes = prometheus::BuildCounter()
                                   .Name("exposer_transferred_bytes_total")
                                   .Help("Transferred bytes to metrics services")
                                   .Register(registry)
                                   .Add({});
  prometheus::Counter& scrapes = prometheus::BuildCounter()
                                     .Name("exposer_scrapes_total")
                                     .Help("Number of times metrics were scraped")
                                     .Register(registry)
                                     .Add({});
  prometheus::Summary& latencies =
      prometheus::BuildSummary()
          .Name("exposer_request_latencies")
          .Help("Latencies of serving scrape requests, in microseconds")
          .Register(registry)
          .Add({}, prometheus::Summary::Quantiles{{0.5, 0.05}, {0.9, 0.01}, {0.99, 0.001}});
};

cMetricsAnswer::cMetricsAnswer(std::function<std::string()> families)
    : m_families(std::move(families)), m_counts(std::make_unique<stServingCounts>()) {}

cMetricsAnswer::~cMetricsAnswer() = default;

std::string cMetricsAnswer::Answer(std::string_view head, bool whole) {
  const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
  std::vector<std::string_view> words;
  for (size_t at = line.find_first_not_of(" \t"); at != std::string_view::npos;
       at = line.find_first_not_of(" \t", at)) {
    const size_t end = std::min(line.find_first_of(" \t", at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  if (!whole) return ErrorAnswer("1.0", 400, "Bad Request", "Malformed message");
  const auto* method = std::find(std::begin(kMethods), std::end(kMethods),
                                 words.empty() ? std::string_view() : words[0]);
  if (words.size() != 3 || method == std::end(kMethods) || !words[2].starts_with("HTTP/"))
    return ErrorAnswer("1.0", 400, "Bad Request", "Bad request");
  const std::string_view version = words[2].substr(5);
  if (version != "1.0" && version != "1.1")
    return ErrorAnswer(version, 505, "HTTP Version not supported",
                       "Bad HTTP version: [" + std::string(version) + "]");
  bool chunks = false;
  Header(head, "Transfer-Encoding", &chunks);
  const std::string length(Header(head, "Content-Length"));
  if (chunks || std::strtoll(length.c_str(), nullptr, 10) > 0) return kBodyRefused;
  if (!words[1].starts_with("/")) return ErrorAnswer(version, 400, "Bad Request", "Invalid URI");
  if (method - std::begin(kMethods) >= static_cast<ptrdiff_t>(kFirstWriting))
    return ErrorAnswer(version, 405, "Method Not Allowed",
                       std::string(*method) + " method not allowed");
  // The metrics are served on /metrics and every path that begins with it.
  if (*method != "GET" || !PathOf(words[1]).starts_with("/metrics"))
    return ErrorAnswer(version, 404, "Not Found", "Not Found");
  return Scrape(head);
}

std::string cMetricsAnswer::Scrape(std::string_view head) {
  const auto start = std::chrono::steady_clock::now();
  const std::string text =
      prometheus::TextSerializer().Serialize(m_counts->registry.Collect()) + m_families();
  const bool gzip = Header(head, "Accept-Encoding").find("gzip") != std::string_view::npos;
  const std::string packed = gzip ? Gzip(text) : std::string();
  const std::string& body = packed.empty() ? text : packed;
  std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n";
  if (!packed.empty()) answer += "Content-Encoding: gzip\r\n";
  answer += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  answer += body;
  m_counts->latencies.Observe(
      static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count()));
  m_counts->bytes.Increment(static_cast<double>(body.size()));
  m_counts->scrapes.Increment();
  return answer;
}
