// Where the named loggers write: the line prefixes set when the program values are made, the
// folders and console routes set when the program names itself, and the appender operations
// that operators also reach from the console. Any thread; the two set-up steps take effect once.
#pragma once

#include <string>

// The path of a log file or folder by name, below the program's log folder, as the host tells
// it (by default the program values' "log/" + exe name + "/" + name), with '/' separators.
std::string LogFilePath(const char* name);

// Prints "append cout <name>"; the loggers matching `name` also write to standard output.
void AddAppenderCout(const char* name);
// Prints "append file <name> <file>"; the loggers matching `name` append to LogFilePath(file).
// With `inLogFolder` (a name checked to lie in the log folder) the folders and the file are made
// and opened only inside it, judged as opened, else "can not open log file <path>" and no
// appender.
void AddAppenderFile(const char* name, const char* file, bool inLogFolder = false);
// Prints "append folder <name> <folder>"; creates LogFilePath(folder) and the loggers matching
// `name` append to a file in it named after the current local time (with `inLogFolder`, as
// above). Returns that file's path (empty when the folder or file cannot be made).
std::string AddAppenderFolder(const char* name, const char* folder, bool inLogFolder = false);

// In a light-red section: the text and a line end to standard output; the text to "tessel.err".
void Error_Tessel(const char* text);
void Error_MessageBox(const char* text);

// Start-up routing, first step (when the program values are made): every line starts with the
// month, day and time and ends with a line end; the start-up cache is written out.
void SetupLogPrefixes();
// Start-up routing, second step (when the program names itself): the folders and console
// routes of the system's and the base library's loggers.
void RouteProgramLoggers();
