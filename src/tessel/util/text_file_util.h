// Small file-system and text helpers offered to server programs. Any thread.
#pragma once

#include <string>
#include <string_view>

// True when an entry of the file system matches `path` and it is not a directory.
bool FileExists(const char* path);

// `s` without its leading and trailing blanks (the space character only; tabs stay). A text
// made only of blanks is returned unchanged.
std::string Trim(std::string& s);

// `text` without the blanks and tabs at either end (empty when it holds nothing else): a name
// aligned or indented in a hand-edited file is the name all the same.
std::string TrimBlanksAndTabs(std::string_view text);

// The UTF-8 byte-order mark some editors put at the start of a text file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Drops a byte-order mark at the start of `text`: kept, it would become part of the first key.
void DropByteOrderMark(std::string& text);
// A text file's bytes as the readers of hand-edited files take them: a file saved as UTF-16
// (little or big endian) with its byte-order mark, as Windows editors offer, becomes UTF-8 (a
// lone surrogate or a last odd byte U+FFFD); else a UTF-8 byte-order mark is dropped.
void DecodeTextFile(std::string& text);
// Whether `text` begins like a mark DecodeTextFile takes away: a writer puts kByteOrderMark
// before such a text, so that it reads back as written.
bool BeginsLikeAMark(std::string_view text);
