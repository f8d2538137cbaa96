// Small file-system and text helpers offered to server programs. Any thread.
#pragma once

#include <string>

// True when an entry of the file system matches `path` and it is not a directory.
bool FileExists(const char* path);

// `s` without its leading and trailing blanks (the space character only; tabs stay). A text
// made only of blanks is returned unchanged.
std::string Trim(std::string& s);
