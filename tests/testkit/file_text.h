// Reading and writing whole files in tests: the text of a file, its lines, every file below a
// folder, and waiting for a file another thread or process writes. Header-only.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testkit {

// The whole file, byte for byte; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// ASCII text as a Windows editor saves it in UTF-16 LE: its byte-order mark, then each byte
// followed by a zero byte.
inline std::string Utf16Le(std::string_view ascii) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii) out += {c, '\0'};
  return out;
}

// How often `part` (not empty) occurs in `text`, overlaps counted.
inline size_t CountOf(std::string_view text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// The lines of a text, without their line ends ("\n" or "\r\n"); no empty last line.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  return Lines(ReadFile(path));
}

// Every regular file below `folder`, in path order, read whole and joined.
inline std::string ReadFolder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& file : files) all += ReadFile(file);
  return all;
}

inline bool FileExists(const std::filesystem::path& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// Writes the file whole, making its folders as needed.
inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The file's text once it is not empty, waiting at most `ms` for it.
inline std::string WaitForFile(const std::filesystem::path& path, int ms = 5000) {
  for (int waited = 0;; waited += 10) {
    std::string text = ReadFile(path);
    if (!text.empty() || waited >= ms) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace testkit
