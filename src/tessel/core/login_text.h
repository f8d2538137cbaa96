// Recognises the command texts of the login protocol (a single call of Login, Logout or
// Logined with literal arguments) so that a link that has not logged in can run nothing else
// (a server side takes only Login and Logout from it), and masks the password of a login text
// before it is shown or logged. Pure: any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct stLoginCall {
  std::string name;               // "Login", "Logout" or "Logined"
  std::vector<std::string> args;  // each argument's literal as written (quotes included)
};

// True when `text` is exactly: blanks, one of the three names, blanks, '(', zero or more
// literal arguments (a quoted string on one line, or a decimal number) separated by commas,
// ')', blanks, an optional ';' and blanks. Anything else is refused. Fills `call` when given.
bool ParseLoginCall(std::string_view text, stLoginCall* call = nullptr);

// Whether `text` (null reads as empty) is a call a peer may send to log in or out: Login or
// Logout as ParseLoginCall reads it. Logined is the answer a client side receives.
bool IsPeerLoginCall(const char* text);

// Where the first word of a call that carries a password (Login, SetConnect; any mention of
// Login, or either called in another letter case, as login('ops','pw')) begins in `text`, npos
// when none does; `word` gets that word as `text` has it. Allocates nothing: a fault handler may
// call it.
size_t SecretWordAt(std::string_view text, std::string_view* word = nullptr);

// Whether Lua code `text` names Login (in any letter case) as a name of its own, not inside a
// string or a comment: what may log a link in anew when it runs on a logged-in link.
bool NamesLogin(std::string_view text);

// `text` as it may be shown: a login call, or a SetConnect call, has its password argument
// replaced by a mask; a text that mentions either word in any other form loses everything from
// that word on.
std::string MaskCmdText(std::string_view text);

// Bytes of a command text a log line keeps.
inline constexpr size_t kLogTextBytes = 256;

// `text` as a log line shows it: masked, and when longer than kLogTextBytes, its first bytes
// (never part of a character) followed by " ...(N bytes)", N being the whole text's length.
std::string LogCmdText(std::string_view text);

// A password as it may be shown: one '*' per byte, at most 8.
std::string MaskPassword(const char* password);
