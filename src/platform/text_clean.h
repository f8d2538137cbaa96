// Makes text a peer chose safe to write to a terminal or into a log line: every control byte
// (C0, DEL, the C1 controls raw or UTF-8 encoded, line and paragraph separators, bidi controls)
// and every byte that is not part of a well-formed UTF-8 character is written as a \xNN escape,
// so nothing a peer sent can move the cursor, change the terminal or start a line of its own.
// Pure: any thread.
#pragma once

#include <string>
#include <string_view>

std::string EscapeControls(std::string_view text);
// The first `most` bytes of `text`, then "... (N bytes more)" when it is longer: a line that
// shows a text of any length keeps its start and says how much was left out.
std::string CutWithCount(std::string_view text, size_t most);
// The same, appended to `out`.
void AppendEscapedControls(std::string& out, std::string_view text);
// The length of the printable character that starts at text[at] (well-formed UTF-8, no
// control); 0 when the byte there starts none.
size_t PrintableCharAt(std::string_view text, size_t at);
