#include "tessel/core/unreadable_line.h"

#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <vector>

#include "platform/console_color.h"
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

void ReportUnreadableLine(const std::string& file, int line, const std::string& why) {
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  const std::string text = shown + " line " + std::to_string(line) + " cannot be read: " + why;
  stReports& reports = Reports();
  {
    std::lock_guard<std::mutex> hold(reports.lock);
    if (!reports.made.insert(shown + ":" + std::to_string(line)).second) return;
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

void LogUnreadableLinesFromNowOn() {
  stReports& reports = Reports();
  std::lock_guard<std::mutex> hold(reports.lock);
  reports.routed = true;
  for (const std::string& text : reports.waiting) TESSEL_LOG(tessel_err(), text);
  reports.waiting.clear();
}
