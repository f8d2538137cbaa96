// The metrics' HTTP answers, built whole by the metrics gate for each request it has read:
// /metrics in Prometheus' text format (gzip when the request accepts it) after the serving's own
// counts, the same error answers as the web server that served them before for everything else.
// The gate's thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class cMetricsAnswer {
 public:
  // `families`: the process's families in the text format, taken at every scrape.
  explicit cMetricsAnswer(std::function<std::string()> families);
  ~cMetricsAnswer();
  // The answer to a request's head: `whole` when it ended with an empty line, false when it was
  // cut at the gate's bound.
  std::string Answer(std::string_view head, bool whole);

 private:
  std::string Scrape(std::string_view head);

  std::function<std::string()> m_families;
  std::unique_ptr<struct stServingCounts> m_counts;
};
