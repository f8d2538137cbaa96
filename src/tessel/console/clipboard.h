// Reads the text of the desktop clipboard through a replaceable reader, so that tests and
// headless servers decide what "the clipboard" is. Any thread; the reader is mutex-guarded.
#pragma once

#include <functional>
#include <string>

struct stClipboard {
  bool opened = false;   // the clipboard could be reached
  bool hasText = false;  // it held plain text
  std::string text;
};

using ClipboardReader = std::function<stClipboard()>;

// Installs a reader; an empty function restores the default, which asks `xclip` (X11) or
// `wl-paste` (Wayland) when a display is set and the tool is installed, under the shell lines'
// time limit ("shell_time_limit") and at most 2 s, since the worker waits for it.
void SetClipboardReader(ClipboardReader reader);

// Reads the clipboard through the installed reader.
stClipboard ReadClipboard();
