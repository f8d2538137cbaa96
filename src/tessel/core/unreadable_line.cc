#include "tessel/core/unreadable_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
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

// Whether two names are the same but for the letter case of ASCII letters.
bool SameButCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The entries of a folder a search for another case looks at, and the paths it follows, at most.
constexpr int kMaxCaseEntries = 10000;
constexpr size_t kMaxCasePaths = 16;

// Adds to `into` every entry of `folder` named `name` but for letter case.
void AddEntriesButCase(const std::filesystem::path& folder, const std::string& name,
                       std::vector<std::filesystem::path>& into) {
  std::error_code ec;
  std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec);
  for (int seen = 0; !ec && it != std::filesystem::directory_iterator() && seen < kMaxCaseEntries;
       it.increment(ec), ++seen)
    if (into.size() < kMaxCasePaths && SameButCase(it->path().filename().string(), name))
      into.push_back(folder / it->path().filename());
}

// The path of an entry that `path` (missing) names but for letter case, as a home copied from
// Windows holds "Config/Config_Str.ini" for config/config_str.ini; empty when there is none.
std::string OtherCaseOf(const std::string& path) {
  const std::filesystem::path wanted = std::filesystem::path(path).lexically_normal();
  std::vector<std::filesystem::path> found{{}};
  for (const std::filesystem::path& part : wanted) {
    std::vector<std::filesystem::path> next;
    for (const std::filesystem::path& folder : found) {
      if (part.has_root_path() || part == "." || part == "..")
        next.push_back(folder / part);
      else
        AddEntriesButCase(folder, part.string(), next);
    }
    found = std::move(next);
  }
  for (const std::filesystem::path& other : found)
    if (other != wanted) return other.string();
  return {};
}

}  // namespace

void ReportUnreadableLine(const std::string& file, int line, const std::string& why) {
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  ReportOnce(shown + ":" + std::to_string(line),
             shown + " line " + std::to_string(line) + " cannot be read: " + why);
}

void ReportUnreadableFile(const std::string& file, const std::string& why,
                          const std::string& topic) {
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  ReportOnce(shown + ":" + topic, why.rfind(file, 0) == 0 ? shown + why.substr(file.size()) : why);
}

void ReportPasswordFileOpenToOthers(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IRWXO) == 0) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string shown = std::filesystem::path(file).lexically_normal().string();
  ReportOnce(shown + ":open", shown + " holds a password and is open to other users (mode " + mode +
                                  "): any of them may have read it; make it readable by "
                                  "its owner only (chmod 600)");
}

void LogUnreadableLinesFromNowOn() {
  stReports& reports = Reports();
  std::lock_guard<std::mutex> hold(reports.lock);
  reports.routed = true;
  for (const std::string& text : reports.waiting) TESSEL_LOG(tessel_err(), text);
  reports.waiting.clear();
}

bool ReportOtherCase(const std::string& file) {
  const std::string other = OtherCaseOf(file);
  if (!other.empty())
    ReportUnreadableFile(file, file + " is not there, " + other +
                                   " differs from it only in letter case and is not read");
  return !other.empty();
}

bool ReadReportedHomeFile(const std::string& file, size_t bound, std::string& text) {
  std::string why;
  const platform::eHomeFile got = platform::ReadHomeFile(file, bound, text, &why);
  const int error = errno;
  if (got == platform::eHomeFile::kRefused) ReportUnreadableFile(file, why);
  // Names differ in letter case here: without a word, every value of the file kept its default.
  if (got == platform::eHomeFile::kMissing) ReportOtherCase(file);
  errno = error;
  return got == platform::eHomeFile::kRead;
}
