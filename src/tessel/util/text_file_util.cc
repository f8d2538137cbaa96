#include "tessel/util/text_file_util.h"

#include <sys/stat.h>

bool FileExists(const char* path) {
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

std::string Trim(std::string& s) {
  size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return s;
  size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

std::string TrimBlanksAndTabs(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(" \t") + 1 - begin));
}

void DropByteOrderMark(std::string& text) {
  if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
}
