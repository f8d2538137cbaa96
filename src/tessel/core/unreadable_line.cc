#include "tessel/core/unreadable_line.h"

#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <vector>

#include "platform/console_color.h"
#include "platform/home_file.h"
#include "tessel/core/loggers.h"

namespace {

struct stReports {
  std::mutex lock;
  std::set<std::string> made;        // "file:line" of every report
  std::vector<std::string> waiting;  // texts not yet logged
  bool routed = false;
};

stReports& Reports() {
  static stReports reports;
  return reports;
}

}  // namespace

namespace {

// Shows and logs `text` unless a report of `key` was made before.
void ReportOnce(const std::string& key, const std::string& text) {
  stReports& reports = Reports();
  {
    std::lock_guard<std::mutex> hold(reports.lock);
    if (!reports.made.insert(key).second) return;
  }
  {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << text << std::endl;
  }
  std::lock_guard<std::mutex> hold(reports.lock);
  if (reports.routed)
    TESSEL_LOG(tessel_err(), text);
  else
    reports.waiting.push_back(text);
}

}  // namespace

void ReportUnreadableLine(const std::string& file, int line, const std::string& why) {
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  ReportOnce(shown + ":" + std::to_string(line),
             shown + " line " + std::to_string(line) + " cannot be read: " + why);
}

void ReportUnreadableFile(const std::string& file, const std::string& why) {
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  ReportOnce(shown + ":", why.rfind(file, 0) == 0 ? shown + why.substr(file.size()) : why);
}

void LogUnreadableLinesFromNowOn() {
  stReports& reports = Reports();
  std::lock_guard<std::mutex> hold(reports.lock);
  reports.routed = true;
  for (const std::string& text : reports.waiting) TESSEL_LOG(tessel_err(), text);
  reports.waiting.clear();
}

bool ReadReportedHomeFile(const std::string& file, size_t bound, std::string& text) {
  std::string why;
  const platform::eHomeFile got = platform::ReadHomeFile(file, bound, text, &why);
  if (got == platform::eHomeFile::kRefused) ReportUnreadableFile(file, why);
  return got == platform::eHomeFile::kRead;
}
