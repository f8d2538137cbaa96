// Running command lines through the system shell (/bin/sh -c) for the maintenance and OS
// commands. Any thread; each call waits for the shell it started, never for a background job.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `text` as one shell word: in single quotes, each ' written as '\''.
std::string ShellQuote(std::string_view text);

// Runs the line and waits for it; the shell's exit status, or -1 when no shell could be started
// or it ended by a signal.
int RunShell(const std::string& line);

// Runs the line and collects what it writes to standard output (standard error is left alone)
// through a pipe of its own, so that two commands at once cannot mix their outputs. Keeps at
// most `maxBytes` bytes (the rest is read and dropped, `truncated` set). Returns as RunShell.
int RunShellOutput(const std::string& line, std::string& out, std::size_t maxBytes,
                   bool* truncated = nullptr);

// Starts the line as a background job with its standard streams on /dev/null and returns at
// once; true when the shell started it.
bool StartShellDetached(const std::string& line);
