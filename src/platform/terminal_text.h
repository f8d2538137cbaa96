// Text that a peer chose, made safe to show on a terminal: nothing in it can move the cursor,
// retitle the window, change colours, write the clipboard or hide lines. Every byte a server
// sends to a console client passes here before it reaches standard output or error. Pure: any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// `text` without escape sequences (ESC and the sequence or string it starts), C0 control bytes
// other than the line end and the tab, DEL, and C1 controls, raw (0x80-0x9F) or as UTF-8
// characters (U+0080-U+009F), together with the sequences and strings the C1 ones start, and the
// explicit bidirectional controls (U+202A-U+202E, U+2066-U+2069). A string
// (OSC, DCS, ...) ends at BEL, ST or the line's end. A byte that is not part of valid UTF-8
// becomes '?'. Valid UTF-8 text, line ends and tabs stay as they are.
std::string TerminalText(std::string_view text);

// How many bytes at the end of `text` begin a UTF-8 character that is not complete yet (0 to
// 3): a caller that shows text as it arrives in pieces keeps them for the next piece.
std::size_t Utf8IncompleteTail(std::string_view text);

}  // namespace platform
