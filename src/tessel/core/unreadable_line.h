// Reports a line of a configuration, value or account file that cannot be read (or a password
// file open to others): once per file and line for the life of the process, in light red on the
// console and in the "tessel.err" log. A report made before the program's loggers are routed (the
// configuration is loaded first) reaches the log when they are. Any thread.
#pragma once

#include <cstddef>
#include <string>

// `why` says what the line should have been and what the load does about it. The line's text is
// not shown: it may hold a password.
void ReportUnreadableLine(const std::string& file, int line, const std::string& why);

// The same for a whole file that is not read (no regular file, too large): once per file.
// `why` names the file and the cause. A report of another `topic` (a file read whole that holds
// one value wrong) keeps a once of its own: a report made for the file before does not hide it.
void ReportUnreadableFile(const std::string& file, const std::string& why,
                          const std::string& topic = "");

// Reports, once per file as above, a file holding a password (an account or login file) that
// other users of the machine may read or change (the password is still used).
void ReportPasswordFileOpenToOthers(const std::string& file);

// Reads the home's file `file` whole through the bounded reader (never waiting, at most `bound`
// bytes) into `text`; one that stands there but is refused is reported as above. True when read.
bool ReadReportedHomeFile(const std::string& file, size_t bound, std::string& text);

// For a file (or folder) of the home that is missing: when an entry stands there under the same
// name in other letter case (a home copied from Windows), reports it as above and returns true.
bool ReportOtherCase(const std::string& file);

// Writes the reports made so far to the log, and every later one at once: the loggers are
// routed now.
void LogUnreadableLinesFromNowOn();
